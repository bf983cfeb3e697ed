// An inbox note's frontmatter and body: the line reader, the body reader, and a rewrite (read,
// render, read again) as the pipeline does on every status change.
#include "FuzzSupport.h"

#include "foundation/InboxNoteFormat.h"

#include <QStringDecoder>

using namespace harkwell;
using namespace harkwell::fuzz;

namespace {

bool isLeadingBreak(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

// The fields whose presence a rewrite must keep, and the values that are not text.
bool sameShape(const InboxFrontmatter& a, const InboxFrontmatter& b)
{
    const auto seconds = [](const std::optional<QDateTime>& t) { return t ? std::optional(t->toSecsSinceEpoch()) : std::nullopt; };
    return a.audioDurationSec == b.audioDurationSec && a.externalId.has_value() == b.externalId.has_value()
           && a.mirelonJobStatus.has_value() == b.mirelonJobStatus.has_value()
           && seconds(a.uploadedAt) == seconds(b.uploadedAt)
           && a.recorderSource.has_value() == b.recorderSource.has_value()
           && a.recorderMicrophone.has_value() == b.recorderMicrophone.has_value()
           && a.recorderChannelLayout.has_value() == b.recorderChannelLayout.has_value()
           && a.targetSkill.has_value() == b.targetSkill.has_value()
           && a.targetFolder.has_value() == b.targetFolder.has_value() && a.title.has_value() == b.title.has_value()
           && a.tags.size() == b.tags.size() && seconds(a.processedAt) == seconds(b.processedAt)
           && a.processedBy.has_value() == b.processedBy.has_value()
           && a.outputFile.has_value() == b.outputFile.has_value() && a.archivedTo.has_value() == b.archivedTo.has_value()
           && a.created.toSecsSinceEpoch() == b.created.toSecsSinceEpoch();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const QString path = privateHome() + QStringLiteral("/note.md");
    writeFile(path, bytes);
    const auto fromFile = InboxNoteFormat::readFrontmatter(path);

    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        // The file reader reads only through the first "\n---": bytes after it do not matter.
        const qsizetype close = bytes.indexOf("\n---");
        const QByteArray head = close < 0 ? bytes : bytes.first(close + 4);
        QStringDecoder headDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString headText = headDecoder.decode(head);
        if (headDecoder.hasError())
            HARKWELL_FUZZ_CHECK(!fromFile && fromFile.error().kind == InboxError::Kind::File);
        return 0;
    }
    const auto record = InboxNoteFormat::parseFrontmatter(text);
    const QString body = InboxNoteFormat::parseBody(text);

    // Reading the file (only as far as its frontmatter) and reading the text agree.
    HARKWELL_FUZZ_CHECK(fromFile.has_value() == record.has_value());
    if (!record)
        return 0;
    InboxFrontmatter sameTime = *fromFile;
    if (std::abs(sameTime.created.secsTo(record->created)) < 60)
        sameTime.created = record->created;
    HARKWELL_FUZZ_CHECK(sameTime == *record);

    // The body is what follows the block the frontmatter came from.
    const qsizetype close = text.indexOf(QLatin1String("\n---"), 3);
    qsizetype start = close + 4;
    while (start < text.size() && isLeadingBreak(text[start]))
        ++start;
    HARKWELL_FUZZ_CHECK(body == text.sliced(start), text.toUtf8() + "\n---- body:\n" + body.toUtf8());

    // A rewrite keeps the body and every field's presence, and a second rewrite changes nothing.
    const QString rendered = InboxNoteFormat::render(*record, body);
    const auto reread = InboxNoteFormat::parseFrontmatter(rendered);
    HARKWELL_FUZZ_CHECK(reread, rendered.toUtf8());
    HARKWELL_FUZZ_CHECK(InboxNoteFormat::parseBody(rendered) == body, rendered.toUtf8());
    HARKWELL_FUZZ_CHECK(sameShape(*record, *reread), rendered.toUtf8());
    const QString again = InboxNoteFormat::render(*reread, body);
    HARKWELL_FUZZ_CHECK(again == rendered, rendered.toUtf8() + "\n---- again:\n" + again.toUtf8());
    return 0;
}
