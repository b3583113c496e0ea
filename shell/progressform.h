// The modal dialog under which every long operation runs in a worker thread. Workers
// report only through the static posters and stop once `failed` is set.
#pragma once

#include "shell/winmovable.h"

#include <QDialog>

#include <atomic>

class QLabel;
class QProgressBar;
class QPushButton;

class ProgressForm : public QDialog
{
    Q_OBJECT
public:
    explicit ProgressForm(const QString &title, QWidget *parent = nullptr);

    // Set once the dialog has finished with result 0 (cancel or error); the workers'
    // cancel flag.
    std::atomic<bool> failed { false };
    std::atomic<bool> tipsShown { false };

    void setCancelEnabled(bool enabled);
    // For work that cannot tell how far it is: the bar moves without a value, under the
    // status text.
    void setBusy(const QString &status);

    // Callable from any thread; each queues the slot of the same name on the form.
    static void postUpdateProgress(
        ProgressForm *form, const QString &status, int curProgress, const QString &progressText);
    static void postErrorOccurred(ProgressForm *form, const QString &err);
    static void postSucceed(ProgressForm *form, const QString &tipsStr);
    static void postTipsWait(ProgressForm *form, const QString &info);

    // Only the slots below finish the dialog: neither Escape nor a close request does.
    void accept() override;
    void reject() override;

signals:
    void userCacel();

public slots:
    void updateProgress(QString status, int curProgress, QString progressText);
    void errorOccurred(QString err);
    void succeed(QString tipsStr);
    void onFinish(int result);
    void tipsWait(QString info);
    void cancel();

private:
    WinMovable m_movable;
    QProgressBar *m_progressBar;
    QLabel *m_lbProgress;
    QPushButton *m_btnCancel;
    QLabel *m_lbStatus;
};
