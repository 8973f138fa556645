// The library's two memory routines, called through procedure variables
// that start-up points at the variant that suits the processor:
//   nxFillChar(dest, count, value): sets count bytes; count <= 0 does nothing.
//   nxMove(source, dest, count): copies count bytes, correct for overlapping
//     ranges either way; count <= 0 or source == dest does nothing.
// Both variables hold a working variant from the start (constant
// initialisation), so calls made before start-up are safe.
//
// On x86-64 the SSE2 variants exist beside the C library's memmove and
// memset; start-up takes the C library's, which measured at least as fast,
// and does short counts itself (up to 128 bytes, up to 512 with
// AVX-512; bench/move_fill.cpp). Callers always go through the variables.
#pragma once

#include <cstdint>

#include "lowlevel/heap/cpu.h"

namespace revurov {

using TnxFillCharProc = void (*)(void* dest, int32_t count, uint8_t value);
using TnxMoveProc = void (*)(const void* source, void* dest, int32_t count);

extern TnxFillCharProc nxFillChar;
extern TnxMoveProc nxMove;
// Forward block copies longer than -nxMoveStreamThreshold bytes (half the L2
// cache) bypass the cache; 0 makes every block copy stream.
extern int32_t nxMoveStreamThreshold;

// Reference-counted; the first start-up detects the processor (if not yet
// done) and sets nxFillChar, nxMove and nxMoveStreamThreshold.
void nxMoveFillStartup();
void nxMoveFillShutdown();

// The choice start-up makes, by processor class and by features.
TnxFillCharProc nxFillCharFor(TnxCpuClass cpuClass, const TnxCpuInfo& info) noexcept;
TnxMoveProc nxMoveFor(const TnxCpuInfo& info) noexcept;

// The variants; named here for tests and benchmarks only.
void nxFillCharLibc(void* dest, int32_t count, uint8_t value);
void nxMoveLibc(const void* source, void* dest, int32_t count);
#if defined(__x86_64__)
void nxFillCharLibcAVX(void* dest, int32_t count, uint8_t value);  // needs AVX
void nxMoveLibcAVX(const void* source, void* dest, int32_t count);  // needs AVX
void nxFillCharLibcAVX512(void* dest, int32_t count, uint8_t value);  // needs AVX-512BW, BMI2
void nxMoveLibcAVX512(const void* source, void* dest, int32_t count);  // needs AVX-512BW, BMI2
void nxFillCharSSE2(void* dest, int32_t count, uint8_t value);
void nxMoveSSE2(const void* source, void* dest, int32_t count);
void nxMoveSSE3(const void* source, void* dest, int32_t count);
#endif

}  // namespace revurov
