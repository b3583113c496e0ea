// The About box: the product picture, name and version.
#pragma once

#include "shell/winmovable.h"

#include <QDialog>

#include <memory>

class QGraphicsScene;
class Ui_AboutUsForm;

class AboutUsForm : public QDialog
{
    Q_OBJECT
public:
    explicit AboutUsForm(QWidget *parent = nullptr);
    ~AboutUsForm() override;

private:
    std::unique_ptr<Ui_AboutUsForm> ui;
    WinMovable m_movable;
    QGraphicsScene *m_scene;
};
