// Launch trace of the emulation: with HOSTCUDA_TRACE naming a file, every
// kernel launch and emulated GEMM appends one line to it, so tests can see
// what ran, not only what resulted.
#include "hostcuda/trace.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace hostcuda {
namespace {

std::mutex trace_mutex;

// Function symbols of one loaded object, keyed by start offset. Kernels are
// mostly file-local, so they are only in the full symbol table, which dladdr
// does not search; it is read from the object's file once.
struct SymbolTable {
  bool relative = true;  // shared objects and PIEs: offsets from the load base
  std::map<uint64_t, std::pair<uint64_t, std::string>> functions;  // start -> (size, mangled name)
};

SymbolTable read_symbols(const std::string& path) {
  SymbolTable table;
  std::ifstream file(path, std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (image.size() < sizeof(Elf64_Ehdr)) return table;
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(image.data());
  if (std::string(reinterpret_cast<const char*>(header->e_ident), 4) != "\177ELF" ||
      header->e_ident[EI_CLASS] != ELFCLASS64 || header->e_shoff + header->e_shnum * sizeof(Elf64_Shdr) > image.size())
    return table;
  table.relative = header->e_type == ET_DYN;
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(image.data() + header->e_shoff);
  for (unsigned s = 0; s < header->e_shnum; ++s) {
    if (sections[s].sh_type != SHT_SYMTAB || sections[s].sh_link >= header->e_shnum) continue;
    const Elf64_Shdr& strings = sections[sections[s].sh_link];
    if (sections[s].sh_offset + sections[s].sh_size > image.size() ||
        strings.sh_offset + strings.sh_size > image.size())
      continue;
    const auto* symbols = reinterpret_cast<const Elf64_Sym*>(image.data() + sections[s].sh_offset);
    const size_t count = sections[s].sh_size / sizeof(Elf64_Sym);
    for (size_t i = 0; i < count; ++i) {
      if (ELF64_ST_TYPE(symbols[i].st_info) != STT_FUNC || symbols[i].st_value == 0) continue;
      if (symbols[i].st_name >= strings.sh_size) continue;
      table.functions[symbols[i].st_value] = {symbols[i].st_size,
                                              image.data() + strings.sh_offset + symbols[i].st_name};
    }
  }
  return table;
}

// "void ns::(anonymous namespace)::kernel<float>(args)" -> name "kernel<float>",
// scope "ns". Parameter lists and return types are dropped; template
// arguments are kept because they say the precision.
void split_name(const std::string& demangled, std::string& name, std::string& scope) {
  std::string s = demangled;
  if (!s.empty() && s.back() == ')') {
    int depth = 0;
    for (size_t i = s.size(); i-- > 0;) {
      if (s[i] == ')') ++depth;
      if (s[i] == '(' && --depth == 0) {
        s.resize(i);
        break;
      }
    }
  }
  // Function templates demangle with their return type; kernels return void.
  const size_t start = s.compare(0, 5, "void ") == 0 ? 5 : 0;
  int depth = 0;
  size_t last_scope = std::string::npos;
  for (size_t i = start; i < s.size(); ++i) {
    if (s[i] == '<') ++depth;
    if (s[i] == '>') --depth;
    if (depth == 0 && s.compare(i, 2, "::") == 0) last_scope = i;
  }
  if (last_scope == std::string::npos) {
    name = s.substr(start);
    scope.clear();
    return;
  }
  name = s.substr(last_scope + 2);
  scope = s.substr(start, last_scope - start);
  const std::string anonymous = "(anonymous namespace)";
  for (size_t at; (at = scope.find("::" + anonymous)) != std::string::npos;) scope.erase(at, anonymous.size() + 2);
  for (size_t at; (at = scope.find(anonymous + "::")) != std::string::npos;) scope.erase(at, anonymous.size() + 2);
  if (scope == anonymous) scope.clear();
}

std::string function_label(const void* function) {
  static std::map<std::string, SymbolTable> tables;
  static std::map<const void*, std::string> labels;
  auto known = labels.find(function);
  if (known != labels.end()) return known->second;
  std::string label;
  Dl_info info{};
  if (dladdr(function, &info) != 0 && info.dli_fname != nullptr) {
    std::string path = info.dli_fname;
    auto it = tables.find(path);
    if (it == tables.end()) {
      SymbolTable table = read_symbols(path);
      if (table.functions.empty()) table = read_symbols("/proc/self/exe");
      it = tables.emplace(path, std::move(table)).first;
    }
    const SymbolTable& table = it->second;
    const uint64_t address =
        reinterpret_cast<uint64_t>(function) - (table.relative ? reinterpret_cast<uint64_t>(info.dli_fbase) : 0);
    auto sym = table.functions.upper_bound(address);
    if (sym != table.functions.begin()) {
      --sym;
      if (address < sym->first + std::max<uint64_t>(sym->second.first, 1)) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(sym->second.second.c_str(), nullptr, nullptr, &status);
        std::string name, scope;
        split_name(status == 0 && demangled != nullptr ? demangled : sym->second.second, name, scope);
        std::free(demangled);
        label = scope.empty() ? name : name + " scope=" + scope;
      }
    }
  }
  if (label.empty()) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "kernel@%p", function);
    label = buffer;
  }
  labels.emplace(function, label);
  return label;
}

// "... [with auto kernel = ns::{anonymous}::kernel<float>]" (GCC) or
// "... [kernel = &ns::kernel<float>]" (Clang) -> the label function_label
// gives the same kernel from its symbol.
std::string signature_label(const char* signature) {
  static std::map<const char*, std::string> labels;
  auto known = labels.find(signature);
  if (known != labels.end()) return known->second;
  std::string s = signature;
  const std::string key = "kernel = ";
  const size_t at = s.rfind(key);
  if (at == std::string::npos || s.back() != ']') return labels.emplace(signature, s).first->second;
  s = s.substr(at + key.size(), s.size() - 1 - at - key.size());
  if (!s.empty() && s[0] == '&') s.erase(0, 1);
  // Anonymous namespaces say nothing in a label, in the scope or in template
  // arguments, however the compiler spells them.
  for (const char* anonymous : {"{anonymous}::", "<unnamed>::", "(anonymous namespace)::"})
    for (size_t a; (a = s.find(anonymous)) != std::string::npos;) s.erase(a, std::strlen(anonymous));
  std::string name, scope;
  split_name(s, name, scope);
  return labels.emplace(signature, scope.empty() ? name : name + " scope=" + scope).first->second;
}

void append(const char* path, const std::string& line) {
  if (FILE* f = std::fopen(path, "a")) {
    std::fputs(line.c_str(), f);
    std::fputc('\n', f);
    std::fclose(f);
  }
}

std::string trace_path() { return settings().trace_path; }

}  // namespace

void trace_launch(const void* kernel, const char* signature, dim3 grid, dim3 block, size_t shared_bytes) {
  const std::string path = trace_path();
  if (path.empty()) return;
  std::lock_guard<std::mutex> lock(trace_mutex);
  std::string label = signature != nullptr ? signature_label(signature) : function_label(kernel);
  const size_t scope_at = label.find(" scope=");
  std::string name = label.substr(0, scope_at), rest = scope_at == std::string::npos ? "" : label.substr(scope_at);
  // Template arguments demangle as "<double, 1>"; without the spaces the name
  // stays the line's first token.
  name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
  char geometry[160];
  std::snprintf(geometry, sizeof geometry, " grid=%u,%u,%u block=%u,%u,%u shared=%zu", grid.x, grid.y, grid.z, block.x,
                block.y, block.z, shared_bytes);
  append(path.c_str(), name + geometry + rest);
}

void trace_gemm(const char* routine, int m, int n, int k) {
  const std::string path = trace_path();
  if (path.empty()) return;
  std::lock_guard<std::mutex> lock(trace_mutex);
  append(path.c_str(),
         std::string(routine) + " m=" + std::to_string(m) + " n=" + std::to_string(n) + " k=" + std::to_string(k));
}

std::string kernel_label(const void* kernel) {
  std::string label;
  {
    std::lock_guard<std::mutex> lock(trace_mutex);
    label = function_label(kernel);
  }
  const size_t scope_at = label.find(" scope=");
  if (scope_at == std::string::npos) return label;
  return label.substr(scope_at + 7) + "::" + label.substr(0, scope_at);
}

}  // namespace hostcuda
