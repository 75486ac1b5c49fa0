#include "adt/exception.h"

#include "platform/error.h"

namespace adt {

Exception::Exception(String text) : text_(std::move(text)), stack_(platform::captureStack(2)) {}

String Exception::detailedText() const {
  String out = text_;
  for (const String& frame : platform::symbolize(stack_)) {
    out += "\n\tat ";
    out += frame;
  }
  return out;
}

LastError::LastError(const String& context, int code)
    : Exception(context + " => " + platform::systemErrorText(code)), code_(code) {}

SystemException::SystemException(uint32_t code, bool write, uint64_t address)
    : Exception(faultName(code, write, address)), code_(code) {}

String SystemException::faultName(uint32_t code, bool write, uint64_t address) {
  switch (code) {
    case fault::kAccessViolation:
      return format("Access Violation(%s of address 0x%08llX)", write ? "write" : "read",
                    static_cast<unsigned long long>(address));
    case fault::kFltDivideByZero: return "Divide by zero (float)";
    case fault::kIntDivideByZero: return "Divide by zero (int)";
    case fault::kStackOverflow: return "Stack overflow";
    case fault::kArrayBoundsExceeded: return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
    case fault::kFltDenormalOperand: return "EXCEPTION_FLT_DENORMAL_OPERAND";
    case fault::kFltInexactResult: return "EXCEPTION_FLT_INEXACT_RESULT";
    case fault::kFltInvalidOperation: return "EXCEPTION_FLT_INVALID_OPERATION";
    case fault::kFltOverflow: return "EXCEPTION_FLT_OVERFLOW";
    case fault::kFltStackCheck: return "EXCEPTION_FLT_STACK_CHECK";
    case fault::kFltUnderflow: return "EXCEPTION_FLT_UNDERFLOW";
    case fault::kIntOverflow: return "EXCEPTION_INT_OVERFLOW";
    case fault::kPrivInstruction: return "EXCEPTION_PRIV_INSTRUCTION";
    case fault::kInPageError: return "EXCEPTION_IN_PAGE_ERROR";
    case fault::kIllegalInstruction: return "EXCEPTION_ILLEGAL_INSTRUCTION";
    case fault::kNoncontinuableException: return "EXCEPTION_NONCONTINUABLE_EXCEPTION";
    case fault::kInvalidDisposition: return "EXCEPTION_INVALID_DISPOSITION";
    case fault::kInvalidHandle: return "EXCEPTION_INVALID_HANDLE";
    case fault::kGuardPage: return "EXCEPTION_GUARD_PAGE";
    case fault::kDatatypeMisalignment: return "EXCEPTION_DATATYPE_MISALIGNMENT";
    case fault::kBreakpoint: return "EXCEPTION_BREAKPOINT";
    case fault::kSingleStep: return "EXCEPTION_SINGLE_STEP";
    default: return format("System exception [error code:  %lu]", static_cast<unsigned long>(code));
  }
}

SocketException::SocketException(const String& context, int code)
    : IOException(context.empty() ? socketErrorDescription(code)
                                  : context + " " + socketErrorDescription(code)),
      code_(code) {}

SocketException::SocketException(String text, int code, int) : IOException(std::move(text)), code_(code) {}

HostNotFoundSocketException::HostNotFoundSocketException()
    : SocketException(String("Host not found"), 11001, 0) {}

String socketErrorDescription(int code) {
  switch (code) {
    case 10004: return "Interrupted function call";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Resource temporarily unavailable";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Bad protocol option";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Cannot assign requested address";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Software caused connection abort";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Cannot send after socket shutdown";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10067: return "Too many processes";
    case 10091: return "Network subsystem is unavailable";
    case 10092: return "WINSOCK.DLL version out of range";
    case 10093: return "Successful WSAStartup not yet performed";
    case 10101: return "Graceful shutdown in progress";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "This is a non-recoverable error";
    case 11004: return "Valid name, no data record of requested type";
    default: return "Неизвестная ошибка сокета, код=" + std::to_string(code);
  }
}

String systemErrorMessage(const String& context, int code) {
  String out = context;
  if (!out.empty()) out += ": ";
  out += platform::systemErrorText(code);
  return out;
}

}  // namespace adt
