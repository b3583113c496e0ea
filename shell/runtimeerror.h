// How the layers above the shell fail: a std::runtime_error carrying the English text that
// the workers post and the boxes show.
#pragma once

#include <QString>

#include <stdexcept>

[[noreturn]] inline void throwRuntimeError(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}
