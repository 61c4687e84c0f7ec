// Handlers bound to objects: a plain pair of a code pointer and the object it is called on.
//
// The library's events (notify handlers, fatal-error, receive and timer handlers) are such pairs,
// and the two halves must stay comparable on their own: the notify list recognises a handler by its
// code alone, so the same method bound to two objects counts as one registration. A type-erased
// callable hides the code, hence this small pair instead of std::function.
//
// Bind<&TClass::Method>(Object) gives each method its own trampoline, whose address identifies
// the method: two handlers have equal Code exactly when they call the same method. The class is
// taken from the method pointer, not from the object, so binding through a derived pointer gives
// the same code. A virtual method is called virtually, so the most derived override runs. (A linker
// option that folds identical functions regardless of their address, such as --icf=all, would
// break this identity; the build does not use one.) g++ 12 emits the trampoline of a method of a
// class in an anonymous namespace as a weak symbol that does not tell translation units apart, so
// two such classes of the same name and method in one program end up sharing one trampoline, and
// a handler calls the other class's method: give classes whose methods are bound distinct names,
// also in tests.
//
// A default-constructed handler is unset: Code is null, and callers skip it.
#pragma once

#include <type_traits>
#include <utility>

template <class TMember> struct TlxMemberClass;
template <class TResult, class TClass> struct TlxMemberClass<TResult TClass::*> {
    using Type = TClass;
};
template <auto Method>
using TlxMethodClass = typename TlxMemberClass<std::remove_cvref_t<decltype(Method)>>::Type;

template <class TSignature> struct TlxMethod;

template <class... TArgs> struct TlxMethod<void(TArgs...)> {
    using TCode = void (*)(void* Data, TArgs... Args);

    TCode Code = nullptr;
    void* Data = nullptr;

    template <auto Method> static TlxMethod Bind(TlxMethodClass<Method>* Object) {
        return {&Trampoline<Method>, Object};
    }

    explicit operator bool() const { return Code != nullptr; }

    // Calls the handler; the caller makes sure it is set.
    void operator()(TArgs... Args) const { Code(Data, std::forward<TArgs>(Args)...); }

    friend bool operator==(const TlxMethod&, const TlxMethod&) = default;

private:
    template <auto Method> static void Trampoline(void* Data, TArgs... Args) {
        (static_cast<TlxMethodClass<Method>*>(Data)->*Method)(std::forward<TArgs>(Args)...);
    }
};
