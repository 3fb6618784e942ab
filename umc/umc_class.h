// Class identity without language run-time type information.
//
// Every framework class has a static identifier function `ClassId()` that
// returns its name.  `TryCast(id)` compares identifier functions (the class
// itself or a base), `IsKindOf(id)` compares the names they return, so an
// identity check also works across modules that hold their own copy of an
// identifier function.  `ClassCast<T>(p)` combines both.
//
// The identity operations are inline so that the abstract classes have no
// key function: code built with run-time type information (tests, the
// element) can then derive from classes of the codec library, which is built
// without it.
#pragma once

#include <cstring>

namespace UMC {

using ClassIdFn = const char* (*)();

namespace class_detail {
inline bool NameIs(ClassIdFn id, const char* name) {
  const char* n = id ? id() : nullptr;
  return n && std::strcmp(n, name) == 0;
}
}  // namespace class_detail

// Declares the identity of a root class (inside the class body).
#define UMC_ROOT_CLASS(Name)                         \
 public:                                             \
  static const char* ClassId();                      \
  virtual bool TryCast(::UMC::ClassIdFn id) const {  \
    return id == &Name::ClassId;                     \
  }                                                  \
  virtual bool IsKindOf(::UMC::ClassIdFn id) const { \
    return ::UMC::class_detail::NameIs(id, #Name);   \
  }                                                  \
                                                     \
 public:

// Declares the identity of a class derived from Base (inside the class body).
#define UMC_DERIVED_CLASS(Name, Base)                                    \
 public:                                                                 \
  static const char* ClassId();                                          \
  bool TryCast(::UMC::ClassIdFn id) const override {                     \
    return id == &Name::ClassId || Base::TryCast(id);                    \
  }                                                                      \
  bool IsKindOf(::UMC::ClassIdFn id) const override {                    \
    return ::UMC::class_detail::NameIs(id, #Name) || Base::IsKindOf(id); \
  }                                                                      \
                                                                         \
 public:

// Defines the identifier function, once per class, in its source file.
#define UMC_DEFINE_CLASS(Name)  \
  const char* Name::ClassId() { \
    return #Name;               \
  }

// p as a T*, or null when p is null or not a T.
template <typename T, typename U>
T* ClassCast(U* p) {
  if (!p) return nullptr;
  if (p->TryCast(&T::ClassId) || p->IsKindOf(&T::ClassId)) return static_cast<T*>(p);
  return nullptr;
}

}  // namespace UMC
