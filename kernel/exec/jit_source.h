// Translation units of native kernels: the JIT unit of one program, the source
// hash that keys ahead-of-time code, and the ahead-of-time source of many
// programs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct lumk_program;

// Version text at the start of every hashed text and in the AOT header.
inline constexpr std::string_view lumk_jit_version = "lumk-jit-1";

// 64-bit FNV-1a over `bytes`, continuing from `h` (the start value of these
// hashes is lumk_fnv_start, not the usual FNV offset basis).
inline constexpr uint64_t lumk_fnv_start = 0x14650FB0739D0383ull;
uint64_t lumk_fnv1a(std::string_view bytes, uint64_t h = lumk_fnv_start);

// Prelude, comment and exported function "lumk_jit_entry" of one program.
// Throws the translation's std::runtime_error.
std::string lumk_jit_source(const lumk_program& program);

// Hash of "lumk-jit-1\n" + prelude + the program's JIT function text (name,
// file and line do not enter it). Never 0. Throws like lumk_jit_source.
uint64_t lumk_source_hash(const lumk_program& program);

// Ahead-of-time source of `programs` (duplicates by hash written once): one
// static function per kernel, the table lumk_aot_entries, the export
// lumk_aot_table under LUMK_AOT_SHARED and, compiled as C++ without it, a
// static registrar calling lumk_aot_register once per row.
std::string lumk_aot_source(const std::vector<const lumk_program*>& programs);
