// The program's main window.
#pragma once

#include <QMainWindow>

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);

public slots:
    // Invoked by name from the device library's notification thread.
    void iosDeviceConnected(void *device);
    void iosDeviceDisconnected(void *device);
};
