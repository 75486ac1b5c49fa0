// The exception family. Every failure in AM is one of these, carrying a UTF-8 text and, where
// there is one, a system, socket or client error code. Expected outcomes (would block, peer
// closed, element incomplete) are return values, not exceptions.
#pragma once
#include <cstdint>
#include <exception>
#include <string>

#include "adt/text.h"
#include "platform/stack.h"

namespace adt {

// General error; captures the call stack where it was constructed.
class Exception : public std::exception {
 public:
  explicit Exception(String text);
  const char* what() const noexcept override { return text_.c_str(); }
  const String& text() const { return text_; }
  const platform::StackTrace& stack() const { return stack_; }
  // The text followed by the call stack, one frame per line, each "\tat <frame>".
  String detailedText() const;

 private:
  String text_;
  platform::StackTrace stack_;
};

// An error whose detailed text is what gets logged (text plus the call stack).
class DetailedException : public Exception {
 public:
  using Exception::Exception;
};

// File and stream failures; base of the socket and tagged-stream errors.
class IOException : public Exception {
 public:
  using Exception::Exception;
};

// A system call failed: "<context> => <system text>".
class LastError : public Exception {
 public:
  LastError(const String& context, int code);
  int code() const { return code_; }

 private:
  int code_;
};

// Machine-fault codes, numbered as the fault names below are keyed. A platform fault handler
// translates its own fault (signal and sub-code) into one of these.
namespace fault {
constexpr uint32_t kGuardPage = 0x80000001;
constexpr uint32_t kDatatypeMisalignment = 0x80000002;
constexpr uint32_t kBreakpoint = 0x80000003;
constexpr uint32_t kSingleStep = 0x80000004;
constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kInPageError = 0xC0000006;
constexpr uint32_t kInvalidHandle = 0xC0000008;
constexpr uint32_t kIllegalInstruction = 0xC000001D;
constexpr uint32_t kNoncontinuableException = 0xC0000025;
constexpr uint32_t kInvalidDisposition = 0xC0000026;
constexpr uint32_t kArrayBoundsExceeded = 0xC000008C;
constexpr uint32_t kFltDenormalOperand = 0xC000008D;
constexpr uint32_t kFltDivideByZero = 0xC000008E;
constexpr uint32_t kFltInexactResult = 0xC000008F;
constexpr uint32_t kFltInvalidOperation = 0xC0000090;
constexpr uint32_t kFltOverflow = 0xC0000091;
constexpr uint32_t kFltStackCheck = 0xC0000092;
constexpr uint32_t kFltUnderflow = 0xC0000093;
constexpr uint32_t kIntDivideByZero = 0xC0000094;
constexpr uint32_t kIntOverflow = 0xC0000095;
constexpr uint32_t kPrivInstruction = 0xC0000096;
constexpr uint32_t kStackOverflow = 0xC00000FD;
}  // namespace fault

// A machine fault (bad memory access, division by zero, ...) turned into an exception.
class SystemException : public Exception {
 public:
  using Exception::Exception;
  // The exception for a fault code; `write` and `address` describe an access violation.
  SystemException(uint32_t code, bool write, uint64_t address);
  // The fault's name: "Access Violation(read of address 0x0040ABCD)", "Divide by zero (int)",
  // "EXCEPTION_INT_OVERFLOW", ..., and "System exception [error code:  <code>]" for unknown
  // codes. The address is printed with at least 8 hex digits (all of them on 64-bit).
  static String faultName(uint32_t code, bool write = false, uint64_t address = 0);
  uint32_t code() const { return code_; }

 private:
  uint32_t code_ = 0;
};

// A socket failure: "<context> <description>" where the description is the text for the
// Winsock-numbered code (the platform maps its own codes to those numbers).
class SocketException : public IOException {
 public:
  SocketException(const String& context, int code);
  int code() const { return code_; }

 protected:
  SocketException(String text, int code, int);

 private:
  int code_;
};

// Name resolution found no address: "Host not found".
class HostNotFoundSocketException : public SocketException {
 public:
  HostNotFoundSocketException();
};

class TaggedReaderException : public IOException {
 public:
  using IOException::IOException;
};

class TaggedWriterException : public IOException {
 public:
  using IOException::IOException;
};

// Thrown at a checkpoint of a thread whose stop was requested. Deliberately not a
// std::exception, so that generic handlers do not swallow it.
class ThreadDeath {};

// The description of a Winsock-numbered socket error code.
String socketErrorDescription(int code);

// Builds the message of a failed file or system operation: the context, ": " when the context
// is not empty, then the system text for `code`.
String systemErrorMessage(const String& context, int code);

}  // namespace adt
