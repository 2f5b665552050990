// The one error type that travels to callers: a number and a description, in the manner of the
// run-time errors the program's parts report to each other ("subscript out of range", ...).
#pragma once

#include <QString>
#include <stdexcept>

class AppError : public std::runtime_error {
public:
    // Well-known error numbers.
    enum Number : int {
        Overflow = 6,
        SubscriptOutOfRange = 9,
        BadFileName = 52,
        FileNotFound = 53,
        FileAlreadyExists = 58,
        PathNotFound = 76,
        PermissionDenied = 70,
        PathFileAccessError = 75,
        DeviceIOError = 57,
        DllNotFound = 48,
        EntryPointNotFound = 453,
        DuplicateKey = 457,
        InvalidArgument = 5,
        ReadNotStarted = 5001,
    };

    AppError(int number, const QString& description)
        : std::runtime_error(description.toStdString()), m_number(number),
          m_description(description) {}

    int number() const noexcept { return m_number; }
    const QString& description() const noexcept { return m_description; }

private:
    int m_number;
    QString m_description;
};
