// Every text of the module that a user can see, and the strings that callers
// match on and that therefore never change with the code: the failure-site
// identifiers printed in panic reports, the environment variables the module
// reads, the qualified name of its exception type, the messages of the
// README's Errors table and of every other failure, the failure report's
// lines, and the Python surface's names, signatures and docstrings. One table,
// so that "which texts can a user see?" has one answer; nothing else in the
// sources spells a user-visible text.
//
// A failure site names a source module and a position ("src\things\mod:99:43");
// it identifies one refusal for good. It is not a path or a line of this
// repository: moving or editing code never changes it. New refusals get new
// entries here; existing entries are never renumbered.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace velqor {

// A failure-site identifier: module, line and column as printed in a report.
struct Location {
    const char* file;
    std::uint32_t line;
    std::uint32_t column;
};

namespace site {

inline constexpr const char* kLib = "src\\lib";
inline constexpr const char* kCore = "src\\things\\mod";
inline constexpr const char* kBoundary = "src\\boundary";
inline constexpr const char* kPool = "src\\runtime\\pool";
inline constexpr const char* kRandom = "src\\runtime\\random";

// Gates (the matrix's shape is checked where the argument is received).
inline constexpr Location kMatrixRowCount{kLib, 20, 31};
inline constexpr Location kMatrixRowLength{kLib, 22, 14};
inline constexpr Location kNotUnitaryDiagnostic{kCore, 38, 9};
inline constexpr const char* kNotUnitaryDiagnosticTag = "[src\\things\\mod:38]";  // heads the diagnostic line
inline constexpr Location kNotUnitary{kCore, 39, 16};

// Registers and gate application.
inline constexpr Location kQubitLimit{kCore, 49, 28};
inline constexpr Location kReadLock{kCore, 60, 40};
inline constexpr Location kApplyLock{kCore, 86, 53};
inline constexpr Location kTargetRange{kCore, 99, 43};

// Measurement.
inline constexpr Location kMarginalIndex{kCore, 117, 33};
inline constexpr Location kMeasureSampler{kCore, 129, 60};
inline constexpr Location kSampleSampler{kCore, 158, 62};

// Module initialisation.
inline constexpr Location kAllAppend{kLib, 272, 71};

// The Python boundary's own failures.
inline constexpr Location kStrEncoding{kBoundary, 39, 33};
inline constexpr Location kPanicTypeCreation{kBoundary, 49, 71};
inline constexpr Location kPanicResumed{kBoundary, 87, 42};
inline constexpr Location kApiCallFailed{kBoundary, 105, 21};
inline constexpr Location kErrorRestore{kBoundary, 123, 33};
inline constexpr Location kRestoreWhileNormalizing{kBoundary, 133, 65};
inline constexpr Location kNormalizeReentered{kBoundary, 142, 65};
inline constexpr Location kTypeMissing{kBoundary, 170, 55};
inline constexpr Location kValueMissing{kBoundary, 171, 57};
inline constexpr Location kTypeWhileNormalizing{kBoundary, 175, 86};
inline constexpr Location kUncaughtAtBoundary{kBoundary, 230, 59};

// Runtime services.
inline constexpr Location kPoolBuild{kPool, 159, 18};
inline constexpr Location kRandomInit{kRandom, 245, 13};
inline constexpr Location kUniformLowHigh{kRandom, 256, 9};
inline constexpr Location kUniformOverflow{kRandom, 260, 9};
inline constexpr Location kRandomSeed{kRandom, 241, 17};

}  // namespace site

namespace env {

inline constexpr const char* kNumThreads = "RAYON_NUM_THREADS";
inline constexpr const char* kNumCpus = "RAYON_RS_NUM_CPUS";
inline constexpr const char* kMinStack = "RUST_MIN_STACK";
inline constexpr const char* kBacktrace = "RUST_BACKTRACE";
inline constexpr const char* kSeed = "VELQOR_SEED";

}  // namespace env

// The exception type every panic becomes in Python (module "pyo3_runtime").
inline constexpr const char* kPanicTypeName = "pyo3_runtime.PanicException";

// The messages of the Errors table, to the letter; "{}" marks where fill()
// puts a value, in order.
namespace msg {

// Raised by the surface as ordinary Python exceptions.
inline constexpr std::string_view kAlreadyMutablyBorrowed = "Already mutably borrowed";
inline constexpr std::string_view kAlreadyBorrowed = "Already borrowed";
inline constexpr std::string_view kTooManyPositional = "{} takes {} positional arguments but {} were given";
inline constexpr std::string_view kMultipleValues = "{} got multiple values for argument '{}'";
inline constexpr std::string_view kUnexpectedKeyword = "{} got an unexpected keyword argument '{}'";
inline constexpr std::string_view kMissingArguments = "{} missing {} required positional {}: {}";
inline constexpr std::string_view kArgumentError = "argument '{}': {}";
inline constexpr std::string_view kCannotConvert = "'{}' object cannot be converted to '{}'";
inline constexpr std::string_view kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr std::string_view kRealField = "failed to extract field Complex.real";
inline constexpr std::string_view kImagField = "failed to extract field Complex.imag";
inline constexpr std::string_view kIntegralOverflow = "out of range integral type conversion attempted";
inline constexpr std::string_view kRegisterMemory = "cannot allocate {} bytes for a register of {} qubits";

// Panics of the core (PanicException).
inline constexpr std::string_view kMatrixShape = "Only support single gate. Matrix size must be 2 by 2";
inline constexpr std::string_view kNotUnitary = "Matrix is not unitary";
inline constexpr std::string_view kQubitLimit = "Number of qubits must be less than {}";
inline constexpr std::string_view kTargetOutOfRange = "Target(s) outside qubit range";
inline constexpr std::string_view kIndexOutOfBounds = "index out of bounds: the len is {} but the index is {}";
inline constexpr std::string_view kUnwrapFailed = "called `Result::unwrap()` on an `Err` value: {}";
inline constexpr std::string_view kPoisoned = "PoisonError { .. }";
inline constexpr std::string_view kBadSeed = "VELQOR_SEED must be a decimal integer from 0 to 18446744073709551615";
// The pool's workers could not be started: the kind is kPoolStartFailed with
// the system error's debug form, on the first call that needed the pool, and
// kPoolAlreadyInitialized on every later one.
inline constexpr std::string_view kPoolNotInitialized =
    "The global thread pool has not been initialized.: ThreadPoolBuildError {{ kind: {} }}";
inline constexpr std::string_view kPoolStartFailed = "IOError({})";
inline constexpr std::string_view kPoolAlreadyInitialized = "GlobalPoolAlreadyInitialized";
// The debug form of a system error inside kPoolStartFailed, and the kinds it
// names, by error code (anything else is kOsErrorOther).
inline constexpr std::string_view kOsErrorDebug = "Os {{ code: {}, kind: {}, message: \"{}\" }}";
inline constexpr std::string_view kOsErrorWouldBlock = "WouldBlock";        // EAGAIN
inline constexpr std::string_view kOsErrorOutOfMemory = "OutOfMemory";      // ENOMEM
inline constexpr std::string_view kOsErrorPermission = "PermissionDenied";  // EPERM, EACCES
inline constexpr std::string_view kOsErrorInvalidInput = "InvalidInput";    // EINVAL
inline constexpr std::string_view kOsErrorOther = "Uncategorized";
// The pool's own machinery failed outside a job's work; the process ends.
inline constexpr std::string_view kPoolUnexpectedPanic = "Rayon: detected unexpected panic; aborting";
// Runtime services' panics (random source).
inline constexpr std::string_view kOsErrorPrefix = "OS Error: ";
inline constexpr std::string_view kRandomInitFailed = "could not initialize thread_rng: ";
inline constexpr std::string_view kUniformLowHigh = "Uniform::new called with `low >= high`";
inline constexpr std::string_view kUniformOverflow = "Uniform::new: range overflow";

// The failure report (panic.cpp) and its backtrace (backtrace.cpp), as
// written to standard error.
inline constexpr std::string_view kReportThread = "thread '";
inline constexpr std::string_view kReportThreadName = "<unnamed>";
inline constexpr std::string_view kReportPanickedAt = "' panicked at '";
inline constexpr std::string_view kReportSiteSeparator = "', ";
inline constexpr std::string_view kNestedReport = "thread panicked while processing panic. aborting.\n";
inline constexpr std::string_view kBacktraceHeader = "stack backtrace:\n";
inline constexpr std::string_view kOffNote =
    "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";
inline constexpr std::string_view kShortNote =
    "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose backtrace.\n";
inline constexpr std::string_view kFrameUnknown = "<unknown>";
inline constexpr std::string_view kBacktraceUnavailable = "  <backtrace unavailable>\n";

// The unitarity diagnostic line (after site::kNotUnitaryDiagnosticTag) and
// the panic when it cannot be written.
inline constexpr const char* kDiagnosticHead = " (check1, check2, check3.real, check4.real) = (\n";
inline constexpr std::string_view kPrintFailed = "failed printing to stderr: {} (os error {})";
// The sampler's errors as they appear after kUnwrapFailed, by SampleError value.
inline constexpr std::array<std::string_view, 4> kSampleErrorNames = {"NoItem", "InvalidWeight", "AllWeightsZero",
                                                                      "TooMany"};

// ---- The Python surface: names, signatures, docstrings and its own texts ----
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
inline constexpr std::string_view kNewName = "__new__";
inline constexpr std::array<std::string_view, 1> kGateNewParams = {"matrix"};
inline constexpr std::array<std::string_view, 1> kRegisterNewParams = {"qubits"};
inline constexpr std::array<std::string_view, 3> kApplyGateParams = {"gate", "targets", "controls"};
inline constexpr std::array<std::string_view, 1> kMeasureParams = {"target"};

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

// Replaces each "{}" of `text` by the next value, in order; "{{" and "}}" stand
// for literal braces.
inline std::string fill(std::string_view text, std::initializer_list<std::string_view> values) {
    std::string out;
    out.reserve(text.size() + 32);
    auto next = values.begin();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '{' && i + 1 < text.size() && text[i + 1] == '}') {
            if (next != values.end()) out.append(*next++);
            ++i;
        } else if ((c == '{' || c == '}') && i + 1 < text.size() && text[i + 1] == c) {
            out.push_back(c);
            ++i;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace msg

}  // namespace velqor
