// Forced into every file of the WebAssembly build: Emscripten 3.1.6's libc++
// predates std::make_unique_for_overwrite, which the library uses for buffers
// it fills itself. This is that function as the standard defines it, given
// only where the library lacks it.
#pragma once
#include <memory>
#if !defined(__cpp_lib_smart_ptr_for_overwrite)
#include <type_traits>
namespace std {
// clang-format 14 runs a requires clause into the declaration.
// clang-format off
template <class T>
  requires is_unbounded_array_v<T>
unique_ptr<T> make_unique_for_overwrite(size_t n) {
  return unique_ptr<T>(new remove_extent_t<T>[n]);
}
template <class T>
  requires(!is_array_v<T>)
unique_ptr<T> make_unique_for_overwrite() {
  return unique_ptr<T>(new T);
}
// clang-format on
}  // namespace std
#endif
