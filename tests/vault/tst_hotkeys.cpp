// The global hot keys: which action a press runs, how the quick-record key is taken and given
// back, its refusal in the log, and the X11 backend on a virtual display, pressed through XTest.

#include "foundation/HarkwellLog.h"
#include "platform/hotkeys/FakeGlobalKeys.h"
#include "platform/hotkeys/XcbGlobalKeys.h"
#include "platform/paths/Paths.h"
#include "support/TempHome.h"
#include "vault/HotkeyManager.h"

#include <QFile>
#include <QTest>

#include <xcb/xcb.h>
#ifdef HARKWELL_HAVE_XTEST
#include <xcb/xtest.h>
#endif

#include <cstdlib>

using namespace harkwell;
using namespace harkwell::test;

namespace {

struct Counts {
    int trigger = 0;
    int record = 0;
};

std::unique_ptr<HotkeyManager> managerOver(FakeGlobalKeys*& keys, Counts& counts)
{
    auto owned = std::make_unique<FakeGlobalKeys>();
    keys = owned.get();
    auto manager = std::make_unique<HotkeyManager>(std::move(owned));
    manager->onTrigger = [&counts] { ++counts.trigger; };
    manager->onRecord = [&counts] { ++counts.record; };
    return manager;
}

#ifdef HARKWELL_HAVE_XTEST
// Presses keys on the display as a keyboard would, through a connection of its own.
class SyntheticKeyboard {
public:
    SyntheticKeyboard() : m_connection(xcb_connect(nullptr, nullptr)) {}
    ~SyntheticKeyboard() { xcb_disconnect(m_connection); }

    bool isUsable() const { return !xcb_connection_has_error(m_connection); }

    // Holds every key but the last, taps the last, and lets go in reverse order.
    bool chord(const QList<xcb_keysym_t>& keysyms)
    {
        QList<xcb_keycode_t> codes;
        for (const xcb_keysym_t keysym : keysyms) {
            const auto code = keycode(keysym);
            if (!code)
                return false;
            codes.append(code);
        }
        for (const xcb_keycode_t code : codes)
            send(XCB_KEY_PRESS, code);
        for (auto it = codes.crbegin(); it != codes.crend(); ++it)
            send(XCB_KEY_RELEASE, *it);
        xcb_aux_sync();
        return true;
    }

private:
    void send(std::uint8_t type, xcb_keycode_t code)
    {
        xcb_test_fake_input(m_connection, type, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }
    void xcb_aux_sync() { free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr)); }
    xcb_keycode_t keycode(xcb_keysym_t keysym)
    {
        const xcb_setup_t* setup = xcb_get_setup(m_connection);
        const int count = setup->max_keycode - setup->min_keycode + 1;
        auto* reply = xcb_get_keyboard_mapping_reply(
            m_connection, xcb_get_keyboard_mapping(m_connection, setup->min_keycode, std::uint8_t(count)), nullptr);
        if (!reply)
            return 0;
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
        const int length = xcb_get_keyboard_mapping_keysyms_length(reply);
        xcb_keycode_t found = 0;
        for (int i = 0; i < length && !found; ++i)
            if (syms[i] == keysym)
                found = xcb_keycode_t(setup->min_keycode + i / reply->keysyms_per_keycode);
        free(reply);
        return found;
    }

    xcb_connection_t* m_connection;
};

constexpr xcb_keysym_t kSuperL = 0xffeb;
constexpr xcb_keysym_t kShiftL = 0xffe1;
constexpr xcb_keysym_t kControlL = 0xffe3;
constexpr xcb_keysym_t kAltL = 0xffe9;
constexpr xcb_keysym_t kCapsLock = 0xffe5;
#endif

}  // namespace

class HotkeysTest : public QObject {
    Q_OBJECT

private slots:
    void pressesRunTheirAction_data();
    void pressesRunTheirAction();
    void searchKeyAskedAgainHoldsOnce();
    void recordKeyFollowsTheSetting();
    void refusedRecordKeyIsLogged();
    void withoutX11NoKeyCanBeRegistered_data();
    void withoutX11NoKeyCanBeRegistered();
    void x11KeysReachTheirActions();
    void x11ChordHeldByAnotherClientIsRefused();
};

void HotkeysTest::pressesRunTheirAction_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("triggers");
    QTest::addColumn<int>("records");
    QTest::newRow("the search key") << 1 << 1 << 0;
    QTest::newRow("the quick-record key") << 2 << 0 << 1;
    QTest::newRow("an id that could not be read") << 0 << 1 << 0;
    QTest::newRow("an unknown id") << 7 << 1 << 0;
}

void HotkeysTest::pressesRunTheirAction()
{
    QFETCH(int, id);
    QFETCH(int, triggers);
    QFETCH(int, records);
    FakeGlobalKeys* keys = nullptr;
    Counts counts;
    auto manager = managerOver(keys, counts);
    keys->pressUnknown(id);
    QCOMPARE(counts.trigger, triggers);
    QCOMPARE(counts.record, records);

    // Before any action is set a press does nothing.
    HotkeyManager bare(std::make_unique<FakeGlobalKeys>());
    QVERIFY(bare.registerSearchKey());
}

void HotkeysTest::searchKeyAskedAgainHoldsOnce()
{
    FakeGlobalKeys* keys = nullptr;
    Counts counts;
    auto manager = managerOver(keys, counts);
    QVERIFY(manager->registerSearchKey());
    QVERIFY(manager->registerSearchKey());
    QCOMPARE(keys->held().size(), 1);
    QCOMPARE(keys->held().value(HotkeyManager::kSearchKeyId), HotkeyManager::searchChord());
    QCOMPARE(HotkeyManager::searchChord(), (KeyChord{KeyChord::Super | KeyChord::Shift, U'v'}));
    keys->press(HotkeyManager::kSearchKeyId);
    QCOMPARE(counts.trigger, 1);
}

void HotkeysTest::recordKeyFollowsTheSetting()
{
    FakeGlobalKeys* keys = nullptr;
    Counts counts;
    auto manager = managerOver(keys, counts);

    manager->setRecordHotkey(false);
    QCOMPARE(keys->grabCalls(), 0);
    QVERIFY(!manager->isRecordKeyRegistered());

    manager->setRecordHotkey(true);
    manager->setRecordHotkey(true);
    QCOMPARE(keys->releases(), 1);
    QCOMPARE(keys->held().keys(), QList<int>{HotkeyManager::kRecordKeyId});
    QCOMPARE(keys->held().first(), (KeyChord{KeyChord::Control | KeyChord::Alt | KeyChord::Super, U'r'}));
    keys->press(HotkeyManager::kRecordKeyId);
    QCOMPARE(counts.record, 1);

    manager->setRecordHotkey(false);
    QVERIFY(keys->held().isEmpty());
    QVERIFY(!manager->isRecordKeyRegistered());
}

void HotkeysTest::refusedRecordKeyIsLogged()
{
    TempHome home;
    FakeGlobalKeys* keys = nullptr;
    Counts counts;
    auto manager = managerOver(keys, counts);
    keys->refuse(HotkeyManager::recordChord(), HotkeyError{10, "taken"});
    QVERIFY(manager->registerSearchKey());
    manager->setRecordHotkey(true);
    QVERIFY(!manager->isRecordKeyRegistered());

    HarkwellLog::waitUntilWritten();
    QFile log(Paths::logFile());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().contains(
        "[harkwell] recorder: could not register the quick-record key (10); another app may use it"));
    keys->press(HotkeyManager::kSearchKeyId);
    QCOMPARE(counts.trigger, 1);  // the search key keeps working
}

void HotkeysTest::withoutX11NoKeyCanBeRegistered_data()
{
    QTest::addColumn<QByteArray>("display");
    QTest::newRow("no display at all") << QByteArray();
    QTest::newRow("a display that does not answer") << QByteArray(":4711");
}

void HotkeysTest::withoutX11NoKeyCanBeRegistered()
{
    QFETCH(QByteArray, display);
    HotkeyManager manager(std::make_unique<XcbGlobalKeys>(display));
    const auto registered = manager.registerSearchKey();
    QVERIFY(!registered);
    QVERIFY(registered.error().text.contains("X11"));
    QVERIFY(!manager.isSearchKeyRegistered());
}

void HotkeysTest::x11KeysReachTheirActions()
{
#ifndef HARKWELL_HAVE_XTEST
    QSKIP("xcb-xtest is not installed, so no key can be pressed");
#else
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X server");
    auto keys = std::make_unique<XcbGlobalKeys>();
    QVERIFY(keys->isConnected());
    HotkeyManager manager(std::move(keys));
    Counts counts;
    manager.onTrigger = [&counts] { ++counts.trigger; };
    manager.onRecord = [&counts] { ++counts.record; };
    QVERIFY(manager.registerSearchKey());
    manager.setRecordHotkey(true);
    QVERIFY(manager.isRecordKeyRegistered());

    SyntheticKeyboard keyboard;
    QVERIFY(keyboard.isUsable());
    QVERIFY(keyboard.chord({kSuperL, kShiftL, 'v'}));
    QTRY_COMPARE(counts.trigger, 1);
    QVERIFY(keyboard.chord({kControlL, kAltL, kSuperL, 'r'}));
    QTRY_COMPARE(counts.record, 1);

    // With CapsLock on, the same chord still counts.
    QVERIFY(keyboard.chord({kCapsLock}));
    QVERIFY(keyboard.chord({kSuperL, kShiftL, 'v'}));
    QTRY_COMPARE(counts.trigger, 2);
    QVERIFY(keyboard.chord({kCapsLock}));

    // Without Shift it is not the search key: it reaches some other client, not us.
    QVERIFY(keyboard.chord({kSuperL, 'v'}));
    manager.setRecordHotkey(false);
    QVERIFY(keyboard.chord({kControlL, kAltL, kSuperL, 'r'}));
    QVERIFY(keyboard.chord({kSuperL, kShiftL, 'v'}));
    QTRY_COMPARE(counts.trigger, 3);
    QCOMPARE(counts.record, 1);
#endif
}

void HotkeysTest::x11ChordHeldByAnotherClientIsRefused()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X server");
    XcbGlobalKeys first;
    XcbGlobalKeys second;
    const auto taken = first.grab(1, HotkeyManager::recordChord());
    QVERIFY2(taken, taken ? "" : qPrintable(QString::number(taken.error().status)));
    const auto refused = second.grab(1, HotkeyManager::recordChord());
    QVERIFY(!refused);
    QCOMPARE(refused.error().status, int(XCB_ACCESS));

    // Given back, it can be taken.
    first.release(1);
    QVERIFY(second.grab(1, HotkeyManager::recordChord()));
}

QTEST_GUILESS_MAIN(HotkeysTest)
#include "tst_hotkeys.moc"
