#pragma once
// Answers folder choices with the paths a test queues (nothing queued: the user cancels), and
// keeps every panel it was shown.

#include "platform/dialogs/FolderChooser.h"

#include <QList>
#include <QQueue>

namespace harkwell {

class FakeFolderChooser final : public FolderChooser {
public:
    void answer(std::optional<QString> choice) { m_answers.enqueue(std::move(choice)); }
    const QList<FolderPanel>& panels() const { return m_panels; }

    std::optional<QString> chooseFolder(QWidget*, const FolderPanel& panel) override
    {
        m_panels.append(panel);
        return m_answers.isEmpty() ? std::nullopt : m_answers.dequeue();
    }

private:
    QQueue<std::optional<QString>> m_answers;
    QList<FolderPanel> m_panels;
};

}  // namespace harkwell
