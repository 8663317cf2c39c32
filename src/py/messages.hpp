// The fixed texts of the Python surface that callers do not match on: internal
// failure messages, standard-error banners, docstrings and names, each once;
// "{}" marks where fill() puts a value, in order. The messages of the Errors
// table, failure sites, environment variables and the exception's qualified
// name are in runtime/contract.hpp, in the same namespace.
#pragma once

#include <string>
#include <string_view>

#include "runtime/contract.hpp"

namespace velqor::msg {

// --- Module and classes ------------------------------------------------------
inline constexpr const char* kModuleName = "velqor";
inline constexpr const char* kModuleDoc =
    "Native state-vector quantum simulator: QGate single-qubit gates and Register state vectors.";
inline constexpr const char* kGateSpecName = "builtins.QGate";
inline constexpr const char* kRegisterSpecName = "builtins.Register";
inline constexpr std::string_view kGateName = "QGate";
inline constexpr std::string_view kRegisterName = "Register";
inline constexpr std::string_view kSequenceName = "Sequence";
inline constexpr const char* kAllName = "__all__";
inline constexpr const char* kQualnameName = "__qualname__";
inline constexpr const char* kRealName = "real";
inline constexpr const char* kImagName = "imag";

inline constexpr const char* kApplyGateName = "apply_gate";
inline constexpr const char* kProbabilitiesName = "probabilities";
inline constexpr const char* kMeasureName = "measure";
inline constexpr const char* kMeasureAllName = "measure_all";
inline constexpr const char* kApplyGateSignature = "apply_gate($self, gate, targets, controls)\n--\n\n";
inline constexpr const char* kProbabilitiesSignature = "probabilities($self)\n--\n\n";
inline constexpr const char* kMeasureSignature = "measure($self, target)\n--\n\n";
inline constexpr const char* kMeasureAllSignature = "measure_all($self)\n--\n\n";

inline constexpr std::string_view kSecondInit = "PyO3 modules may only be initialized once per interpreter process";
inline constexpr std::string_view kClassInitFailed = "An error occurred while initializing class {}";
inline constexpr std::string_view kAllAppendFailed = "could not append __name__ to __all__: {}";

// --- Argument parser -----------------------------------------------------------
inline constexpr std::string_view kDisplayName = "{}.{}()";
inline constexpr std::string_view kArgumentNoun = "argument";
inline constexpr std::string_view kArgumentsNoun = "arguments";
inline constexpr std::string_view kQuotedName = "'{}'";
inline constexpr std::string_view kListComma = ", ";
inline constexpr std::string_view kListAnd = " and ";
inline constexpr std::string_view kListCommaAnd = ", and ";
inline constexpr std::string_view kStrFailed = "<exception str() failed>";

// --- Conversions ---------------------------------------------------------------
inline constexpr std::string_view kNoTypeName = "<failed to extract type name>";

// --- Failures at the boundary ---------------------------------------------------
inline constexpr std::string_view kNoErrorSet = "attempted to fetch exception but none was set";
inline constexpr std::string_view kApiCallFailed = "Python API call failed";
inline constexpr std::string_view kUncaughtAtBoundary = "uncaught panic at ffi boundary";
inline constexpr std::string_view kUnexpectedCxx = "unexpected C++ exception: {}";
inline constexpr std::string_view kUnknownCxx = "unexpected C++ exception of unknown type";
inline constexpr std::string_view kResumeBanner =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
inline constexpr std::string_view kUnwrappedPanic = "Unwrapped panic from Python code";
inline constexpr const char* kPanicTypeDoc =
    "\n"
    "The exception raised when native code of this module, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
inline constexpr std::string_view kPanicTypeFailed = "Failed to initialize new exception type.: {}";
inline constexpr std::string_view kNormalizeWhileNormalizing = "Cannot normalize a PyErr while already normalizing it.";
inline constexpr std::string_view kTypeWhileNormalizing = "Cannot access exception type while normalizing";
inline constexpr std::string_view kTypeMissing = "Exception type missing";
inline constexpr std::string_view kValueMissing = "Exception value missing";
inline constexpr std::string_view kErrDebugForm = "PyErr {{ type: {}, value: {}, traceback: {} }}";
inline constexpr std::string_view kNone = "None";

}  // namespace velqor::msg
