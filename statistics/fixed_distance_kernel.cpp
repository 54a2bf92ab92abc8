// SPDX-License-Identifier: Apache-2.0
// Fixed-order kernels for squared Riemannian distances between 10×10
// covariance descriptors and 11×11 Gaussian embeddings (one template, the
// order a compile-time constant, so loops unroll and arrays stay on the stack). Per pair: M = W · S
// · W (W the inverse square root of the first descriptor), Householder reduction of M to
// tridiagonal form, the implicit QL iteration with shifts on the tridiagonal matrix without
// eigenvectors, then the sum of squared logarithms of the eigenvalues.
//
// The QL sweeps are a chain of dependent square roots and divisions, so a
// lone pair leaves the arithmetic units idle. Up to eight pairs sharing one W
// therefore run side by side, one per lane of a vector of eight doubles (GCC
// vector extensions), in lock step: a lane whose current eigenvalue has
// converged, or whose sweep starts lower, is masked, never updated. Each
// lane thus performs exactly the operations the scalar version of the same
// template performs for that pair alone, so results are bit-identical
// however pairs are grouped and whatever the thread count. The code is
// compiled for AVX-512, AVX2 and the baseline instruction set with runtime
// selection; none uses fused multiply-add, so all give the same bits.
#include "statistics/fixed_distance_kernel.hpp"

#include <cmath>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// The lane vectors never cross a non-inlined call boundary; the note about
// their argument-passing ABI does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace rovelin::detail {

namespace {

constexpr int kMaxSweeps = 30;

typedef double Lanes __attribute__((vector_size(sizeof(double) * kKernelLanes)));
using LaneMask = decltype(Lanes{} < Lanes{});

// Lane helpers: the same names for a lone pair (double, bool) and for a
// vector of pairs (Lanes, LaneMask).
template <typename T>
struct LaneTraits;
template <>
struct LaneTraits<double> {
  using Mask = bool;
  static constexpr int width = 1;
};
template <>
struct LaneTraits<Lanes> {
  using Mask = LaneMask;
  static constexpr int width = kKernelLanes;
};

inline double select(bool mask, double a, double b) { return mask ? a : b; }
inline Lanes select(LaneMask mask, Lanes a, Lanes b) { return mask ? a : b; }
inline bool andNot(bool a, bool b) { return a && !b; }
inline LaneMask andNot(LaneMask a, LaneMask b) { return a & ~b; }
inline bool any(bool mask) { return mask; }
inline bool any(LaneMask mask) {
  for (int q = 0; q < kKernelLanes; ++q)
    if (mask[q]) return true;
  return false;
}
// Square roots, one policy per instruction set: GCC does not vectorise a
// lane-by-lane std::sqrt, and the rotations are bound by its latency.
struct ScalarSqrt {
  static double apply(double x) { return std::sqrt(x); }
  static Lanes apply(Lanes x) {
    for (int q = 0; q < kKernelLanes; ++q) x[q] = std::sqrt(x[q]);
    return x;
  }
};
#if defined(__x86_64__)
struct Sse2Sqrt {
  static double apply(double x) { return std::sqrt(x); }
  static Lanes apply(Lanes x) {
    Lanes result;
    for (int h = 0; h < kKernelLanes; h += 2)
      _mm_storeu_pd(reinterpret_cast<double*>(&result) + h,
                    _mm_sqrt_pd(_mm_loadu_pd(reinterpret_cast<const double*>(&x) + h)));
    return result;
  }
};
// Clang checks the vector-argument ABI of every call before inlining, so a
// target("avx512f") helper called from the shared template is a hard error
// there; clang builds (fuzzing) use the baseline variant, which gives the
// same bits.
#if !defined(__clang__)
struct Avx2Sqrt {
  [[gnu::target("avx2")]] static Lanes apply(Lanes x) {
    Lanes result;
    for (int h = 0; h < kKernelLanes; h += 4)
      _mm256_storeu_pd(reinterpret_cast<double*>(&result) + h,
                       _mm256_sqrt_pd(_mm256_loadu_pd(reinterpret_cast<const double*>(&x) + h)));
    return result;
  }
};
struct Avx512Sqrt {
  [[gnu::target("avx512f")]] static Lanes apply(Lanes x) {
    Lanes result;
    const __m512d v = _mm512_loadu_pd(reinterpret_cast<const double*>(&x));
    _mm512_storeu_pd(reinterpret_cast<double*>(&result), _mm512_mask_sqrt_pd(v, 0xFF, v));
    return result;
  }
};
#endif  // !__clang__
#endif
inline double lane(double x, int) { return x; }
inline double lane(Lanes x, int q) { return x[q]; }
inline void setLane(double& x, int, double value) { x = value; }
inline void setLane(Lanes& x, int q, double value) { x[q] = value; }
inline bool lane(bool mask, int) { return mask; }
inline bool lane(LaneMask mask, int q) { return mask[q] != 0; }
inline double laneAbs(double x) { return std::fabs(x); }
inline Lanes laneAbs(Lanes x) {
  for (int q = 0; q < kKernelLanes; ++q) x[q] = std::fabs(x[q]);
  return x;
}

// Eigenvalues of the symmetric tridiagonal matrix with diagonal d and
// off-diagonal e (e[i] couples i and i+1, e[n-1] is scratch), left in d.
// Implicit QL with the shift from the leading 2×2 block, one lane per pair.
template <int n, typename T, typename Sqrt>
[[gnu::always_inline]] inline typename LaneTraits<T>::Mask tridiagonalEigenvalues(T* d, T* e) {
  using Mask = typename LaneTraits<T>::Mask;
  constexpr int width = LaneTraits<T>::width;
  constexpr double eps = std::numeric_limits<double>::epsilon();
  const T zero{};
  const T one = zero + 1.0;
  const Mask none = zero != zero;
  Mask failed = none;
  e[n - 1] = zero;
  for (int l = 0; l < n; ++l) {
    T sweeps = zero;
    for (;;) {
      // m: the first index from l on whose off-diagonal element is negligible.
      T m = zero + static_cast<double>(n - 1);
      Mask found = none;
      for (int k = l; k < n - 1; ++k) {
        const Mask small = laneAbs(e[k]) <= (laneAbs(d[k]) + laneAbs(d[k + 1])) * eps;
        m = select(andNot(small, found), zero + static_cast<double>(k), m);
        found = found | small;
      }
      Mask active = andNot(m != zero + static_cast<double>(l), failed);
      if (!any(active)) break;
      sweeps = select(active, sweeps + 1.0, sweeps);
      const Mask exhausted = active & (sweeps > zero + static_cast<double>(kMaxSweeps));
      failed = failed | exhausted;
      active = andNot(active, exhausted);
      if (!any(active)) break;

      int top = l;
      T dm = zero;
      for (int q = 0; q < width; ++q) {
        const int mq = static_cast<int>(lane(m, q));
        setLane(dm, q, lane(d[mq], q));
        if (lane(active, q) && mq > top) top = mq;
      }
      T g = (d[l + 1] - d[l]) / (e[l] * 2.0);
      T r = Sqrt::apply(g * g + 1.0);
      g = dm - d[l] + e[l] / (g + select(g >= zero, r, -r));
      T s = one, c = one, p = zero;
      Mask live = active;
      Mask split = none;
      for (int i = top - 1; i >= l; --i) {
        Mask rotate = live & (zero + static_cast<double>(i) < m);
        const T f = s * e[i];
        const T b = c * e[i];
        r = Sqrt::apply(f * f + g * g);
        e[i + 1] = select(rotate, r, e[i + 1]);
        // A rotation of zero length splits the matrix: the lane stops here
        // and restarts its sweep (its e[m] is cleared after the loop).
        const Mask vanished = rotate & (r == zero);
        d[i + 1] = select(vanished, d[i + 1] - p, d[i + 1]);
        live = andNot(live, vanished);
        rotate = andNot(rotate, vanished);
        split = split | vanished;
        s = select(rotate, f / r, s);
        c = select(rotate, g / r, c);
        const T h = d[i + 1] - p;
        const T t = (d[i] - h) * s + c * b * 2.0;
        const T sp = s * t;
        d[i + 1] = select(rotate, h + sp, d[i + 1]);
        g = select(rotate, c * t - b, g);
        p = select(rotate, sp, p);
      }
      d[l] = select(live, d[l] - p, d[l]);
      e[l] = select(live, g, e[l]);
      for (int q = 0; q < width; ++q)
        if (lane(live, q) || lane(split, q)) setLane(e[static_cast<int>(lane(m, q))], q, 0.0);
    }
  }
  return failed;
}

// The whole distance for one lane type: S[q] for q < width.
template <int n, typename T, typename Sqrt>
[[gnu::always_inline]] inline void distances(const double* W, const double* const* S, double* out,
                                             bool* converged) {
  constexpr int width = LaneTraits<T>::width;
  const T zero{};
  // a[i][j], j <= i: lower triangle of M.
  T a[n][n];
  {
    T s[n][n];
    for (int q = 0; q < width; ++q)
      for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) setLane(s[i][j], q, S[q][j * n + i]);
    T t[n][n];  // W · S
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        T sum = s[0][j] * W[i];
        for (int k = 1; k < n; ++k) sum += s[k][j] * W[k * n + i];
        t[i][j] = sum;
      }
    for (int i = 0; i < n; ++i)  // (W · S) · W, lower triangle
      for (int j = 0; j <= i; ++j) {
        T sum = t[i][0] * W[j * n];
        for (int k = 1; k < n; ++k) sum += t[i][k] * W[j * n + k];
        a[i][j] = sum;
      }
  }

  // Householder reduction; each step reflects a[k+1..n-1][k] onto its first element.
  const T one = zero + 1.0;
  T d[n];
  T e[n];
  for (int k = 0; k < n - 2; ++k) {
    const T x0 = a[k + 1][k];
    T sigma = zero;
    for (int i = k + 2; i < n; ++i) sigma += a[i][k] * a[i][k];
    const T mu = Sqrt::apply(x0 * x0 + sigma);
    const auto flat = sigma == zero;  // nothing to annihilate
    T v0 = select(x0 <= zero, x0 - mu, -sigma / (x0 + mu));
    v0 = select(flat, one, v0);
    const T beta = select(flat, zero, (v0 * v0 * 2.0) / (sigma + v0 * v0));
    d[k] = a[k][k];
    e[k] = select(flat, x0, mu);

    T v[n];
    v[k + 1] = one;
    for (int i = k + 2; i < n; ++i) v[i] = a[i][k] / v0;
    // p = beta · A22 · v, A22 read from its lower triangle.
    T p[n];
    for (int i = k + 1; i < n; ++i) {
      T sum = zero;
      for (int j = k + 1; j <= i; ++j) sum += a[i][j] * v[j];
      for (int j = i + 1; j < n; ++j) sum += a[j][i] * v[j];
      p[i] = beta * sum;
    }
    T pv = zero;
    for (int i = k + 1; i < n; ++i) pv += p[i] * v[i];
    const T half = beta * pv * 0.5;
    T w[n];
    for (int i = k + 1; i < n; ++i) w[i] = p[i] - half * v[i];
    for (int i = k + 1; i < n; ++i)
      for (int j = k + 1; j <= i; ++j) a[i][j] -= v[i] * w[j] + w[i] * v[j];
  }
  d[n - 2] = a[n - 2][n - 2];
  d[n - 1] = a[n - 1][n - 1];
  e[n - 2] = a[n - 1][n - 2];

  const auto failed = tridiagonalEigenvalues<n, T, Sqrt>(d, e);
  for (int q = 0; q < width; ++q) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
      const double logLambda = std::log(lane(d[i], q));
      sum += logLambda * logLambda;
    }
    out[q] = sum;
    converged[q] = !lane(failed, q);
  }
}

using BatchFunction = void (*)(const double*, const double* const*, double*, bool*);

template <int n>
struct Batches {
#if !defined(__x86_64__)
  static void portable(const double* W, const double* const* S, double* out, bool* converged) {
    distances<n, Lanes, ScalarSqrt>(W, S, out, converged);
  }
#else
  static void sse2(const double* W, const double* const* S, double* out, bool* converged) {
    distances<n, Lanes, Sse2Sqrt>(W, S, out, converged);
  }
#if !defined(__clang__)
  [[gnu::target("avx2")]] static void avx2(const double* W, const double* const* S, double* out,
                                           bool* converged) {
    distances<n, Lanes, Avx2Sqrt>(W, S, out, converged);
  }
  [[gnu::target("avx512f")]] static void avx512(const double* W, const double* const* S,
                                                double* out, bool* converged) {
    distances<n, Lanes, Avx512Sqrt>(W, S, out, converged);
  }
#endif  // !__clang__
#endif

  static BatchFunction choose() {
#if defined(__x86_64__)
#if !defined(__clang__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return avx512;
    if (__builtin_cpu_supports("avx2")) return avx2;
#endif
    return sse2;
#else
    return portable;
#endif
  }

  static void single(const double* W, const double* S, double* out, bool* converged) {
    distances<n, double, ScalarSqrt>(W, &S, out, converged);
  }

  static void run(const double* W, const double* const* S, int count, double* out,
                  bool* converged) {
    static const BatchFunction batch = choose();
    if (count <= 0) return;
    if (count == 1) {
      single(W, S[0], out, converged);
      return;
    }
    const double* lanes[kKernelLanes];
    for (int q = 0; q < kKernelLanes; ++q) lanes[q] = S[q < count ? q : count - 1];
    double values[kKernelLanes];
    bool done[kKernelLanes];
    batch(W, lanes, values, done);
    for (int q = 0; q < count; ++q) {
      out[q] = values[q];
      converged[q] = done[q];
    }
  }
};

}  // namespace

void squaredDistancesOrder10(const double* W, const double* const* S, int count, double* out,
                             bool* converged) {
  Batches<kKernelOrder>::run(W, S, count, out, converged);
}

void squaredDistancesOrder11(const double* W, const double* const* S, int count, double* out,
                             bool* converged) {
  Batches<kEmbeddingKernelOrder>::run(W, S, count, out, converged);
}

}  // namespace rovelin::detail
