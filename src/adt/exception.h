// The exception family. Every failure in AM is one of these, carrying a UTF-8 text and, where
// there is one, a system, socket or client error code. Expected outcomes (would block, peer
// closed, element incomplete) are return values, not exceptions.
#pragma once
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

// A machine fault (bad memory access, division by zero, ...) turned into an exception.
class SystemException : public Exception {
 public:
  using Exception::Exception;
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
