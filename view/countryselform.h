// Asks the user for the country of a phone whose SIM gives none, from the country table,
// with a filter on the typed keyword; yields the country's mobile country code.
#pragma once

#include "shell/winmovable.h"

#include <QDialog>
#include <QList>
#include <QString>

#include <memory>

class Ui_CountrySelForm;

struct CountryItem
{
    QString mmc;
    QString text; // "name (+calling code)"
};

class CountrySelForm : public QDialog
{
    Q_OBJECT
public:
    explicit CountrySelForm(QWidget *parent = nullptr);
    ~CountrySelForm() override;

    // False when the country table could not be read; the dialog can then be closed
    // without a choice.
    bool countriesLoaded() const { return m_loaded; }

    QString chosenMmc;

public slots:
    void kwinput(const QString &kw);
    void accept() override;
    // Keeps the dialog open: the caller needs a country. Only when the table could not
    // be read is there nothing to choose, and the dialog closes without a choice.
    void reject() override;

private:
    void addItem(const CountryItem &item);

    std::unique_ptr<Ui_CountrySelForm> ui;
    QList<CountryItem> m_countries;
    WinMovable m_movable;
    bool m_loaded = false;
};
