// Lets the user drag a frameless window by pressing the left mouse button inside it.
#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QWidget>

class WinMovable : public QObject
{
    Q_OBJECT
public:
    explicit WinMovable(QWidget *widget);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QWidget> m_widget;
    QPoint m_pressPos;
    bool m_dragging = false;
};
