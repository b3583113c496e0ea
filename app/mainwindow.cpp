#include "mainwindow.h"

#include "app/messagebox.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    setWindowTitle(productTitle());
    setStyleSheet(appStyleSheet());
}

void MainWindow::iosDeviceConnected(void *) { }

void MainWindow::iosDeviceDisconnected(void *) { }
