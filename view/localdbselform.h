// The dialog in which the user picks an existing local message database or names a new
// one before messages are saved into it.
#pragma once

#include "shell/winmovable.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <memory>

class Ui_LocalDbSelForm;

class LocalDbSelForm : public QDialog
{
    Q_OBJECT
public:
    enum NameCheck { NameOk, NameEmpty, NameInvalid };

    LocalDbSelForm(
        const QStringList &dbNames, const QString &defaultName, QWidget *parent = nullptr);
    ~LocalDbSelForm() override;

    // Runs the dialog; the chosen name (blanks kept), or "" when it was cancelled.
    QString getDbName();

    // Whether the name can name a database folder inside the local databases folder.
    static NameCheck checkName(const QString &name);

public slots:
    void onBtnOkPress();

private:
    WinMovable m_movable;
    QString m_dbName;
    std::unique_ptr<Ui_LocalDbSelForm> ui;
};
