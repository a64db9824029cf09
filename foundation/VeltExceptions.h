#pragma once
// The program's exception family. Every class raises its own type, derived from
// EVeltError, so a caller may catch one class's failures or all of them.
#include <stdexcept>
#include <string>

class EVeltError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value outside the range a routine accepts (a count of 0, a negative time-out...).
class ERangeError : public EVeltError {
public:
    using EVeltError::EVeltError;
};

// A text that cannot be read as the number or code it should hold.
class EConvertError : public EVeltError {
public:
    using EVeltError::EVeltError;
};

// A quiet abort: construction gave up and there is nothing to tell the user.
class EAbort : public EVeltError {
public:
    EAbort() : EVeltError("operation aborted") {}
};

// Declares a class's own exception type in one line.
#define VELT_DECLARE_EXCEPTION(Name)            \
    class Name : public EVeltError {            \
    public:                                     \
        using EVeltError::EVeltError;           \
    }
