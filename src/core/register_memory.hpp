// The refusal of a new register's state vector, as the core throws it and the
// Python boundary turns it into MemoryError: its own header, so that the
// boundary needs nothing else of the core.
#pragma once

#include <cstdint>
#include <new>

namespace velqor {

// The system refused a new register's state vector: a std::bad_alloc that says
// how much was asked for.
struct RegisterMemoryRefused : std::bad_alloc {
    RegisterMemoryRefused(std::uint64_t bytes, std::uint32_t qubits) noexcept : bytes(bytes), qubits(qubits) {}
    const char* what() const noexcept override { return "register memory refused"; }

    std::uint64_t bytes;   // the state vector's size
    std::uint32_t qubits;  // the register's qubit count
};

}  // namespace velqor
