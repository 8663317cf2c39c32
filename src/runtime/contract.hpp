// The strings that callers match on and that therefore never change with the
// code: the failure-site identifiers printed in panic reports, the environment
// variables the module reads, and the qualified name of its exception type.
//
// A failure site names a source module and a position ("src\things\mod:99:43");
// it identifies one refusal for good. It is not a path or a line of this
// repository: moving or editing code never changes it. New refusals get new
// entries here; existing entries are never renumbered.
#pragma once

#include <cstdint>

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

}  // namespace velqor
