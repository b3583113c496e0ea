#include "winmovable.h"

#include <QMouseEvent>

WinMovable::WinMovable(QWidget *widget)
    : QObject(nullptr)
    , m_widget(widget)
{
    if (widget)
        widget->installEventFilter(this);
}

bool WinMovable::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_widget)
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        m_pressPos = mouse->pos();
        m_dragging = mouse->button() == Qt::LeftButton;
        break;
    }
    case QEvent::MouseMove:
        if (m_dragging) {
            const auto *mouse = static_cast<QMouseEvent *>(event);
            m_widget->move(m_widget->pos() + (mouse->pos() - m_pressPos));
        }
        break;
    case QEvent::MouseButtonRelease:
        m_dragging = false;
        break;
    default:
        break;
    }
    return false;
}
