#pragma once

#include <QString>

#include <exception>

// A failed step: a number (errno, socket or database code) and a description that names
// what failed and why. Raised by the step, caught at the top of the handler that ran it.
class Failure : public std::exception
{
public:
    Failure(int number, QString description);

    // The errno value `error` with its system text, after `what` ("Cannot open /x: ").
    static Failure fromErrno(int error, const QString &what);

    int number() const { return m_number; }
    QString description() const { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    int m_number;
    QString m_description;
    QByteArray m_what;
};
