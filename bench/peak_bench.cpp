// The multiply-add peak of one core, for the integer routes the kernels use: tight loops of one
// instruction over independent accumulators, each figure the best of several timed runs. Routes
// the CPU lacks are skipped. The int8 peak (the fastest u8 x s8 route present, else the int16
// one) is what the other benchmarks compare their kernels with; `--int8` prints only it, in
// GMAC/s.
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// 12 independent accumulators: enough to hide the latency of every route on current cores.
#define NUVRA_TWELVE(op, reg)                                                                                     \
  op " %%" reg "0, %%" reg "14, %%" reg "1\n\t" op " %%" reg "0, %%" reg "14, %%" reg "2\n\t" op " %%" reg      \
     "0, %%" reg "14, %%" reg "3\n\t" op " %%" reg "0, %%" reg "14, %%" reg "4\n\t" op " %%" reg "0, %%" reg   \
     "14, %%" reg "5\n\t" op " %%" reg "0, %%" reg "14, %%" reg "6\n\t" op " %%" reg "0, %%" reg "14, %%" reg  \
     "7\n\t" op " %%" reg "0, %%" reg "14, %%" reg "8\n\t" op " %%" reg "0, %%" reg "14, %%" reg "9\n\t" op     \
     " %%" reg "0, %%" reg "14, %%" reg "10\n\t" op " %%" reg "0, %%" reg "14, %%" reg "11\n\t" op " %%" reg  \
     "0, %%" reg "14, %%" reg "12\n\t"

// Each loop runs `n` iterations of 12 instructions and returns the multiply-adds done.
double dpbusd_zmm(long n) {
  asm volatile("1:\n\t" NUVRA_TWELVE("vpdpbusd", "zmm") "dec %0\n\tjnz 1b" : "+r"(n)::"cc");
  return 64.0 * 12;
}
double dpwssd_zmm(long n) {
  asm volatile("1:\n\t" NUVRA_TWELVE("vpdpwssd", "zmm") "dec %0\n\tjnz 1b" : "+r"(n)::"cc");
  return 32.0 * 12;
}
double dpbusd_ymm(long n) {
  asm volatile("1:\n\t" NUVRA_TWELVE("%{vex%} vpdpbusd", "ymm") "dec %0\n\tjnz 1b" : "+r"(n)::"cc");
  return 32.0 * 12;
}
double dpwssd_ymm(long n) {
  asm volatile("1:\n\t" NUVRA_TWELVE("%{vex%} vpdpwssd", "ymm") "dec %0\n\tjnz 1b" : "+r"(n)::"cc");
  return 16.0 * 12;
}
// AVX2 int16 pairs: vpmaddwd then vpaddd into the accumulator, 16 multiply-adds per pair.
double maddwd_ymm(long n) {
  asm volatile(
      "1:\n\t"
      "vpmaddwd %%ymm0, %%ymm14, %%ymm1\n\tvpaddd %%ymm1, %%ymm2, %%ymm2\n\t"
      "vpmaddwd %%ymm0, %%ymm14, %%ymm3\n\tvpaddd %%ymm3, %%ymm4, %%ymm4\n\t"
      "vpmaddwd %%ymm0, %%ymm14, %%ymm5\n\tvpaddd %%ymm5, %%ymm6, %%ymm6\n\t"
      "vpmaddwd %%ymm0, %%ymm14, %%ymm7\n\tvpaddd %%ymm7, %%ymm8, %%ymm8\n\t"
      "vpmaddwd %%ymm0, %%ymm14, %%ymm9\n\tvpaddd %%ymm9, %%ymm10, %%ymm10\n\t"
      "vpmaddwd %%ymm0, %%ymm14, %%ymm11\n\tvpaddd %%ymm11, %%ymm12, %%ymm12\n\t"
      "dec %0\n\tjnz 1b"
      : "+r"(n)::"cc");
  return 16.0 * 6;
}

struct Route {
  const char* name;
  enum Feature { avx512_vnni, avx_vnni, avx2 } feature;
  double (*loop)(long);
  bool u8;  // u8 x s8 products
};

bool has_avx_vnni() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  asm("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(7), "c"(1));
  // Leaf 7 sub-leaf 1 exists only when sub-leaf 0 reports it; AVX2 implies the OS saves ymm.
  unsigned max_sub = 0;
  asm("cpuid" : "=a"(max_sub), "=b"(b), "=c"(c), "=d"(d) : "a"(7), "c"(0));
  return max_sub >= 1 && (a >> 4 & 1) && __builtin_cpu_supports("avx2");
}

bool present(const Route& r) {
  __builtin_cpu_init();
  switch (r.feature) {
    case Route::avx512_vnni: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vnni");
    case Route::avx_vnni: return has_avx_vnni();
    case Route::avx2: return __builtin_cpu_supports("avx2");
  }
  return false;
}

// Best GMAC/s of several runs of about 20 ms each.
double measure(const Route& r) {
  long n = 1 << 16;
  for (;;) {
    const auto t0 = std::chrono::steady_clock::now();
    r.loop(n);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s > 0.02) break;
    n *= 2;
  }
  double best = 0;
  for (int i = 0; i < 7; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    const double macs = r.loop(n) * static_cast<double>(n);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    best = std::max(best, macs / s / 1e9);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const bool int8_only = argc > 1 && std::string(argv[1]) == "--int8";
  // One core: the first CPU this process may use.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0)
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
      if (CPU_ISSET(cpu, &set)) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        sched_setaffinity(0, sizeof one, &one);
        break;
      }
  const std::vector<Route> routes = {
      {"vpdpbusd zmm (u8 x s8, AVX-512 VNNI)", Route::avx512_vnni, dpbusd_zmm, true},
      {"vpdpbusd ymm (u8 x s8, AVX-VNNI)", Route::avx_vnni, dpbusd_ymm, true},
      {"vpdpwssd zmm (int16 pairs, AVX-512 VNNI)", Route::avx512_vnni, dpwssd_zmm, false},
      {"vpdpwssd ymm (int16 pairs, AVX-VNNI)", Route::avx_vnni, dpwssd_ymm, false},
      {"vpmaddwd + vpaddd ymm (int16 pairs, AVX2)", Route::avx2, maddwd_ymm, false},
  };
  double int8 = 0, int16 = 0;
  const char* int8_name = "none";
  if (!int8_only) std::printf("Multiply-add peak of one core, best of 7 runs of each loop:\n");
  for (const Route& r : routes) {
    if (!present(r)) {
      if (!int8_only) std::printf("  %-44s not on this CPU\n", r.name);
      continue;
    }
    const double g = measure(r);
    if (!int8_only) std::printf("  %-44s %8.1f GMAC/s\n", r.name, g);
    if (r.u8 && g > int8) {
      int8 = g;
      int8_name = r.name;
    }
    if (!r.u8 && g > int16) int16 = g;
  }
  // Without a u8 x s8 instruction, int8 values go through the int16 route.
  if (int8 == 0) {
    int8 = int16;
    int8_name = "the int16 route";
  }
  if (int8_only) {
    std::printf("%.1f\n", int8);
  } else {
    std::printf("  int8 peak: %.1f GMAC/s, by %s; the int16 route reaches %.0f%% of it\n", int8, int8_name,
                int16 / int8 * 100);
  }
  return int8 > 0 ? 0 : 1;
}
