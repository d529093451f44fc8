#pragma once
// Docstrings built at compile time from the parameter tables they describe. A docstring starts
// with the text signature the interpreter reads, "name(a, b=default)\n--\n\n", then a summary;
// writing it from the same table the parser uses keeps the two from drifting apart.
#include <array>
#include <cstddef>
#include <string_view>

#include "python/entry.hpp"

namespace torvex::py {

// Counts, then writes, the characters put into it: the same code measures and fills a buffer.
struct TextWriter {
  char* out = nullptr;  // null: only count
  std::size_t size = 0;

  constexpr TextWriter& operator<<(std::string_view text) {
    for (char c : text) {
      if (out != nullptr) out[size] = c;
      ++size;
    }
    return *this;
  }
  // A whole number in decimal.
  constexpr TextWriter& operator<<(long long value) {
    if (value < 0) *this << "-";
    const unsigned long long magnitude =
        value < 0 ? 0ull - static_cast<unsigned long long>(value) : value;
    if (magnitude >= 10) *this << static_cast<long long>(magnitude / 10);
    const char digit[] = {static_cast<char>('0' + magnitude % 10)};
    return *this << std::string_view(digit, 1);
  }
};

// A string literal as a template argument.
template <std::size_t N>
struct Literal {
  char chars[N]{};
  constexpr Literal(const char (&text)[N]) {
    for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
  }
  constexpr std::string_view view() const { return {chars, N - 1}; }
};

// The text Write (a captureless lambda taking a TextWriter&) writes, null-terminated, in static
// storage.
template <auto Write>
inline constexpr auto static_text = [] {
  constexpr std::size_t size = [] {
    TextWriter counter;
    Write(counter);
    return counter.size;
  }();
  std::array<char, size + 1> text{};
  TextWriter writer{text.data()};
  Write(writer);
  return text;
}();

// "name(" then, after "$module, " where module_first, each parameter, the optional ones (from
// index `required` on) followed by "=" and what default_of(w, index) writes, then ")\n--\n\n".
template <class Params, class DefaultOf>
constexpr void write_text_signature(TextWriter& w, std::string_view name, bool module_first,
                                    const Params& params, std::size_t required,
                                    DefaultOf default_of) {
  w << name << "(";
  if (module_first) w << "$module, ";
  std::size_t i = 0;
  for (std::string_view param : params) {
    if (i > 0) w << ", ";
    w << param;
    if (i >= required) {
      w << "=";
      default_of(w, i);
    }
    ++i;
  }
  w << ")\n--\n\n";
}

// Every optional parameter shown with the default None.
inline constexpr auto none_defaults = [](TextWriter& w, std::size_t) { w << "None"; };

// The docstring of a function whose parameters Sig (a Signature) lists, taking the module
// first where module_first (a class's method made from a module function) and showing None as
// every default unless Defaults (a captureless lambda writing index's default) says otherwise.
template <const auto& Sig, Literal Summary, bool module_first = true, auto Defaults = none_defaults>
inline constexpr const char* method_doc = static_text<[](TextWriter& w) {
                                            write_text_signature(
                                                w, Sig.name, module_first, Sig.params,
                                                static_cast<std::size_t>(Sig.required), Defaults);
                                            w << Summary.view();
                                          }>.data();

// The method table entry of a fast-call function whose parameters Sig lists, named as Sig is
// and documented by method_doc.
template <const auto& Sig, Literal Summary, bool module_first = true, auto Defaults = none_defaults>
constexpr PyMethodDef method(PyCFunction function) {
  return {Sig.name, function, kFastCall, method_doc<Sig, Summary, module_first, Defaults>};
}

}  // namespace torvex::py
