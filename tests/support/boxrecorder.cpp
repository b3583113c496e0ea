#include "support/boxrecorder.h"

#include "shell/messagebox.h"

BoxRecorder::BoxRecorder()
{
    setMessageBoxHook([this](QMessageBox &box) {
        boxes.append({ box.icon(), box.text() });
        if (onBox)
            onBox(box);
        if (!(box.standardButtons() & QMessageBox::Yes))
            return QMessageBox::Ok;
        return answers.isEmpty() ? QMessageBox::Yes : answers.takeFirst();
    });
}

BoxRecorder::~BoxRecorder()
{
    setMessageBoxHook(nullptr);
}

QStringList BoxRecorder::texts() const
{
    QStringList list;
    for (const Box &box : boxes)
        list << box.text;
    return list;
}

QStringList BoxRecorder::texts(QMessageBox::Icon icon) const
{
    QStringList list;
    for (const Box &box : boxes) {
        if (box.icon == icon)
            list << box.text;
    }
    return list;
}

void BoxRecorder::clear()
{
    boxes.clear();
    answers.clear();
}
