// Read first by every C++ file that builds against protobuf when the thread
// sanitizer is on (the top-level CMakeLists.txt adds it with -include).
//
// With -fsanitize=thread the compiler defines __SANITIZE_THREAD__, and
// protobuf's map_field.h then gives MapFieldBase two sequence counters that
// Debian's libprotobuf, built without the sanitizer, does not have. Every map
// field (google::protobuf::Struct's fields, for one) would be laid out here 8
// bytes further on than the library writes it, and reading one would crash.
// The header is read once here with the macro hidden; its include guard keeps
// the library's layout for the rest of the file. The sanitizer's
// instrumentation does not depend on the macro, and libstdc++'s own
// configuration is read before it is hidden.
#pragma once

#if defined(__SANITIZE_THREAD__)
#include <cstddef>

#pragma push_macro("__SANITIZE_THREAD__")
#undef __SANITIZE_THREAD__
#include <google/protobuf/map_field.h>
#pragma pop_macro("__SANITIZE_THREAD__")
#endif
