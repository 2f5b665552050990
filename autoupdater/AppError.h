// The one error type that travels to callers: a number and a description, in the manner of the
// run-time errors the program's parts report to each other ("subscript out of range", ...).
#pragma once

#include <stdexcept>
#include <string>

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

    // The description is UTF-8 text.
    AppError(int number, const std::string& description)
        : std::runtime_error(description), m_number(number), m_description(description) {}

    int number() const noexcept { return m_number; }
    const std::string& description() const noexcept { return m_description; }

private:
    int m_number;
    std::string m_description;
};
