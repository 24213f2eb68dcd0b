// Parsers of the device, dtype and endian strings shared by both modules.
#pragma once

#include <string>

namespace quillmarch {

// Caller text for a message: as given, unless it holds control characters
// (a NUL would cut the message short); then quoted, with those escaped.
std::string show_text(const std::string& text);

// "cuda" / "gpu" -> 0; "cuda:<id>" -> std::stoi(<id>); else invalid_argument.
int parse_device(const std::string& text);

// "complex64" -> 0, "complex128" -> 1; else invalid_argument.
int parse_dtype(const std::string& text);

// Accepts exactly "little" or "big"; else invalid_argument.
void check_endian(const std::string& text);

// One 32-bit value from the platform's non-deterministic source, used when a
// caller gives no seed.
unsigned long long system_seed();

}  // namespace quillmarch
