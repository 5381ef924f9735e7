#pragma once
// The exception classes every layer above raises, and the few string, number
// and date helpers the components and forms are written against.
//
// Exception texts are QStrings (the program's texts are Turkish and must
// survive); what() gives the same text in UTF-8 for code that only knows
// std::exception.

#include <QByteArray>
#include <QString>
#include <exception>

/// Root of the framework's exception classes. Components derive their own
/// (EMMWaveInError, ...) from it or from one of the classes below.
class Exception : public std::exception {
public:
    explicit Exception(const QString& message);
    explicit Exception(const char* message);
    Exception(const QString& message, int helpContext);
    ~Exception() override;

    /// The text shown to the user.
    QString Message() const { return FMessage; }
    void SetMessage(const QString& message);

    int HelpContext() const { return FHelpContext; }

    /// Message() in UTF-8; valid as long as the exception object lives.
    const char* what() const noexcept override;

private:
    QString FMessage;
    QByteArray FUtf8;
    int FHelpContext = 0;
};

/// A silent exception: the standard exception display ignores it.
class EAbort : public Exception {
public:
    using Exception::Exception;
};

/// A value could not be converted ("Cannot assign a TFont to a TBevel",
/// "'12x' is not a valid integer value").
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

/// An operation that is not allowed in the object's current state.
class EInvalidOperation : public Exception {
public:
    using Exception::Exception;
};

/// An argument outside what the operation accepts.
class EArgumentError : public Exception {
public:
    using Exception::Exception;
};

/// An index outside a list.
class EListError : public Exception {
public:
    using Exception::Exception;
};

/// Memory could not be obtained.
class EOutOfMemory : public Exception {
public:
    using Exception::Exception;
};

/// A platform call failed; Code is the platform's error number.
class EOSError : public Exception {
public:
    EOSError(const QString& message, int code);
    int ErrorCode() const { return FErrorCode; }

private:
    int FErrorCode;
};

/// A platform resource (timer, window) could not be had.
class EOutOfResources : public Exception {
public:
    using Exception::Exception;
};

/// Reading or writing a stream failed ("Invalid BitmapList stream").
class EStreamError : public Exception {
public:
    using Exception::Exception;
};

/// A file could not be created.
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

/// A file could not be opened.
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

/// A stored form could not be read or written.
class EFilerError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

/// A stored form could not be read. When the reader knows where, FileName()
/// and Line() (1-based) say so and Message() starts with "file:line: ".
/// A hook that reads a defined property (TFiler::DefineBinaryProperty) may
/// raise it without a place; the reader then raises it again with the place.
class EReadError : public EFilerError {
public:
    explicit EReadError(const QString& message);
    EReadError(const QString& message, const QString& fileName, int line);

    /// The text without the place.
    QString Reason() const { return FReason; }
    QString FileName() const { return FFileName; }
    /// 0 when unknown.
    int Line() const { return FLine; }

private:
    QString FReason;
    QString FFileName;
    int FLine = 0;
};

/// A component could not be written to a stored form.
class EWriteError : public EFilerError {
public:
    using EFilerError::EFilerError;
};

/// A stored form names a class nobody registered ("Class TFoo not found").
class EClassNotFound : public EFilerError {
public:
    using EFilerError::EFilerError;
};

/// A component operation failed: duplicate or invalid names, bad owners.
class EComponentError : public Exception {
public:
    using Exception::Exception;
};

/// Text of any exception: Message() for ours, what() for others (decoded as
/// UTF-8), "Unknown exception" for an exception_ptr that is not a
/// std::exception.
QString ExceptionMessage(const std::exception& error);
QString ExceptionMessage(std::exception_ptr error);

// ---------------------------------------------------------------------------
// Strings and numbers

QString IntToStr(long long value);
/// Upper-case hex digits, at least Digits of them.
QString IntToHex(long long value, int digits);
/// Decimal or $-hex ("$FF", "-$10"); raises EConvertError
/// "'<text>' is not a valid integer value".
int StrToInt(const QString& text);
/// As StrToInt, but Default when the text is no valid integer.
int StrToIntDef(const QString& text, int defaultValue);
/// Shortest text that reads back as the same value ('.' as decimal point).
QString FloatToStr(double value);
/// Raises EConvertError "'<text>' is not a valid floating point value".
double StrToFloat(const QString& text);

QString Trim(const QString& text);
QString UpperCase(const QString& text);
QString LowerCase(const QString& text);
/// Case-insensitive comparison (<0, 0, >0).
int CompareText(const QString& a, const QString& b);
bool SameText(const QString& a, const QString& b);

// ---------------------------------------------------------------------------
// Files

bool FileExists(const QString& fileName);
bool DeleteFile(const QString& fileName);
/// The directory part including the final '/'.
QString ExtractFilePath(const QString& fileName);
QString ExtractFileName(const QString& fileName);
/// The extension including its '.', empty when there is none.
QString ExtractFileExt(const QString& fileName);
QString ChangeFileExt(const QString& fileName, const QString& extension);
QString ExpandFileName(const QString& fileName);
QString IncludeTrailingPathDelimiter(const QString& path);

// ---------------------------------------------------------------------------
// Dates and times

/// Days since 1899-12-30 00:00 local time; the fraction is the time of day.
using TDateTime = double;

TDateTime Now();
TDateTime Date();
TDateTime Time();
/// The date in the user's short date format (strftime "%x" under LC_TIME).
QString DateToStr(TDateTime value);
/// The time in the user's long time format (strftime "%X" under LC_TIME).
QString TimeToStr(TDateTime value);
