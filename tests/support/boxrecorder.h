// Answers the program's message boxes for a test and records them in order: the window's
// flows show several boxes in a row, some of them questions.
#pragma once

#include <QList>
#include <QMessageBox>
#include <QStringList>

#include <functional>

class BoxRecorder
{
public:
    struct Box
    {
        QMessageBox::Icon icon;
        QString text;
    };

    // Installs itself as the message box hook until destroyed.
    BoxRecorder();
    ~BoxRecorder();
    BoxRecorder(const BoxRecorder &) = delete;
    BoxRecorder &operator=(const BoxRecorder &) = delete;

    // Answers to questions (boxes with a Yes button), used in order; Yes once they run out.
    QList<QMessageBox::StandardButton> answers;
    QList<Box> boxes;
    // Runs for every box before it is answered (a device pulled while a box is up, say).
    std::function<void(QMessageBox &)> onBox;

    QStringList texts() const;
    // Texts of the boxes with this icon.
    QStringList texts(QMessageBox::Icon icon) const;
    void clear();
};
