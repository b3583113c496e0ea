#include "shell/myviews.h"
#include "shell/winmovable.h"

#include <QContextMenuEvent>
#include <QMouseEvent>
#include <QStringListModel>
#include <QtTest>

namespace {

void sendMouse(QWidget *widget, QEvent::Type type, const QPoint &pos, Qt::MouseButton button,
    Qt::MouseButtons buttons)
{
    QMouseEvent event(type, pos, widget->mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

} // namespace

class TestWinMovable : public QObject
{
    Q_OBJECT

private slots:
    void dragMovesOnlyWithLeftButton_data();
    void dragMovesOnlyWithLeftButton();
    void releaseEndsDrag();
    void viewsSignalSelectionAndContextMenu();
};

void TestWinMovable::dragMovesOnlyWithLeftButton_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QPoint>("expectedOffset");
    QTest::newRow("left button drags") << int(Qt::LeftButton) << QPoint(20, 15);
    QTest::newRow("right button does not") << int(Qt::RightButton) << QPoint(0, 0);
}

void TestWinMovable::dragMovesOnlyWithLeftButton()
{
    QFETCH(int, button);
    QFETCH(QPoint, expectedOffset);
    QWidget window(nullptr, Qt::Dialog | Qt::FramelessWindowHint);
    window.setGeometry(100, 100, 200, 120);
    window.show();
    WinMovable movable(&window);
    const QPoint start = window.pos();
    const auto mouseButton = Qt::MouseButton(button);

    sendMouse(&window, QEvent::MouseButtonPress, QPoint(10, 10), mouseButton, mouseButton);
    sendMouse(&window, QEvent::MouseMove, QPoint(30, 25), Qt::NoButton, mouseButton);

    QCOMPARE(window.pos(), start + expectedOffset);
}

void TestWinMovable::releaseEndsDrag()
{
    QWidget window(nullptr, Qt::Dialog | Qt::FramelessWindowHint);
    window.setGeometry(100, 100, 200, 120);
    window.show();
    WinMovable movable(&window);
    const QPoint start = window.pos();

    sendMouse(&window, QEvent::MouseButtonPress, QPoint(10, 10), Qt::LeftButton, Qt::LeftButton);
    sendMouse(&window, QEvent::MouseMove, QPoint(15, 10), Qt::NoButton, Qt::LeftButton);
    sendMouse(&window, QEvent::MouseButtonRelease, QPoint(10, 10), Qt::LeftButton, Qt::NoButton);
    sendMouse(&window, QEvent::MouseMove, QPoint(50, 50), Qt::NoButton, Qt::NoButton);

    QCOMPARE(window.pos(), start + QPoint(5, 0));
}

void TestWinMovable::viewsSignalSelectionAndContextMenu()
{
    qRegisterMetaType<QItemSelection>();
    QStringListModel model({ "one", "two" });
    MyListView list;
    MyTreeView tree;
    for (QAbstractItemView *view : std::initializer_list<QAbstractItemView *> { &list, &tree })
        view->setModel(&model);
    QSignalSpy listSelection(&list, &MyListView::onSelectionChanged);
    QSignalSpy treeSelection(&tree, &MyTreeView::onSelectionChanged);
    QSignalSpy listMenu(&list, &MyListView::createContextMenu);
    QSignalSpy treeMenu(&tree, &MyTreeView::createContextMenu);

    list.setCurrentIndex(model.index(1));
    tree.setCurrentIndex(model.index(0));
    QCOMPARE(listSelection.count(), 1);
    QCOMPARE(treeSelection.count(), 1);
    QCOMPARE(listSelection.at(0).at(0).value<QItemSelection>().indexes(),
        QModelIndexList { model.index(1) });

    for (QAbstractItemView *view : std::initializer_list<QAbstractItemView *> { &list, &tree }) {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5));
        QCoreApplication::sendEvent(view->viewport(), &event);
    }
    QCOMPARE(listMenu.count(), 1);
    QCOMPARE(treeMenu.count(), 1);
}

QTEST_MAIN(TestWinMovable)
#include "tst_winmovable.moc"
