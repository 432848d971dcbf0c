// The vector kernels of the network, one implementation per vector width:
// kernels_avx.cpp (8 lanes) and kernels_sse.cpp (4 lanes).  A program links
// exactly one of them.  Both compute the same function; only the order in
// which dot products are summed differs (see each file).
#pragma once

struct Network;
struct NetworkColumns;
struct KingNetwork;

// acc[i] += row[i] for the 128 lanes of one half.
void kernelAddRow(float *acc, const float *row);
// dst[i] = (src[i] + add[i]) - sub[i].
void kernelAddSub(float *dst, const float *src, const float *add, const float *sub);
// acc[i] -= row[i].
void kernelSubRow(float *acc, const float *row);
// Output value v of the network (before the x100 scaling) for the given halves,
// side to move first.  `columns` must have been prepared from `net`.
float kernelForward(const Network &net, const NetworkColumns &columns, const float *us, const float *them);
// Generation 0.8's output value for the given halves, side to move first:
// clipped rectifiers and fused multiply-add (kernels_fma.cpp, linked by the
// 0.8 program only).  `columns` must have been prepared from `net`.
float kernelForwardClipped(const KingNetwork &net, const NetworkColumns &columns, const float *us, const float *them);
// Name of the kernel set, for reports.
const char *kernelName();
