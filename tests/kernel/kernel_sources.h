// Kernel sources shared by the kernel tests and benchmarks: the same
// programs run through every engine and are timed against plain C++.
#pragma once

namespace kernel_src {

// y = a * x + y over f32.
inline constexpr const char* saxpy = "kernel saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }";
// 3x3 box blur of a 2-D f32 image; edges average the pixels inside.
inline constexpr const char* blur =
    "kernel blur(const f32* in, f32* out) {\n"
    "  i32 x = i32(gid_x); i32 y = i32(gid_y); i32 w = i32(gsize_x); i32 h = i32(gsize_y);\n"
    "  f32 s = 0.0; i32 n = 0;\n"
    "  for (i32 dy = -1; dy <= 1; dy++) {\n"
    "    for (i32 dx = -1; dx <= 1; dx++) {\n"
    "      i32 xx = x + dx; i32 yy = y + dy;\n"
    "      if (xx < 0 || yy < 0 || xx >= w || yy >= h) { continue; }\n"
    "      s += in[yy * w + xx]; n++;\n"
    "    }\n"
    "  }\n"
    "  out[gid] = s / f32(n);\n"
    "}";
// One step of particles under gravity, speed clamped by an inline helper.
inline constexpr const char* particles =
    "struct Particle { f32x3 pos; f32x3 vel; f32 mass; }\n"
    "kernel inline clamp_speed(f32x3 v, f32 limit) -> f32x3 {\n"
    "  f32 s = length(v);\n"
    "  if (s > limit) { return v * (limit / s); }\n"
    "  return v;\n"
    "}\n"
    "kernel step(Particle* ps, f32 dt) {\n"
    "  Particle p = ps[gid];\n"
    "  f32x3 g = f32x3(0.0, -9.81, 0.0);\n"
    "  p.vel = clamp_speed(p.vel + g * (dt / max(p.mass, 0.1)), 4.0);\n"
    "  p.pos += p.vel * dt;\n"
    "  if (p.pos.y < 0.0) { p.pos.y = -p.pos.y; p.vel.y = abs(p.vel.y) * 0.5; }\n"
    "  ps[gid] = p;\n"
    "}";
// Counts of u8 values in 8 bins of 32, by atomic adds.
inline constexpr const char* histogram =
    "kernel hist(const u8* v, u32* bins) {\n"
    "  u32 b = u32(v[gid]) / 32u;\n"
    "  if (b < 8u) { atomic_add(bins[b], 1u); }\n"
    "}";

}  // namespace kernel_src
