#include "Failure.h"

#include <cstring>

Failure::Failure(int number, QString description)
    : m_number(number)
    , m_description(std::move(description))
    , m_what(m_description.toUtf8())
{}

Failure Failure::fromErrno(int error, const QString &what)
{
    return Failure(error, what + QString::fromLocal8Bit(std::strerror(error)));
}
