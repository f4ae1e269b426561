// Python-level signatures, each declared once as a table of parameters. The
// table parses a call into a struct of named results and renders the text
// signature that inspect and stub checkers read (`__text_signature__`).
//
//   struct InitArgs { PyObject *callback = nullptr; size_t capacity = 16384; };
//   constexpr auto init_signature = signature<InitArgs>("__init__", {
//       {"callback", &InitArgs::callback, kRequired},
//       {"capacity", &InitArgs::capacity},
//   });
//   InitArgs a = init_signature.parse(args, kwargs);   // a.capacity, by name
//
// A member's type says how the argument is converted: PyObject* is borrowed
// as given (nullptr when not given), size_t and int32_t are range-checked
// integers, bool is the truth value. Defaults are the struct's own; an
// optional object parameter states its default as Python source.
#pragma once
#include <Python.h>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include "args.hpp"

namespace ferry {

template <class Args>
using Slot = std::variant<PyObject *Args::*, size_t Args::*, int32_t Args::*, bool Args::*>;

inline constexpr bool kRequired = true;

template <class Args>
struct Param {
    const char *name = nullptr;
    Slot<Args> slot{};
    bool required = false;
    const char *default_text = nullptr;  // optional object parameters only
};

// What the function objects and type docstrings need of a signature.
class TextSignature {
public:
    // "($self, a, b=1)" for a method, "(a, b=1)" otherwise.
    virtual std::string text(bool method) const = 0;

protected:
    ~TextSignature() = default;
};

struct NoArgs {};

template <class Args, size_t N>
class Signature final : public TextSignature {
public:
    // `func` names the function in error messages; `star` names a *args that
    // takes (and ignores) further positional arguments.
    constexpr Signature(const char *func, const std::array<Param<Args>, N> &params, const char *star)
        : func_(func), star_(star), params_(params) {
        const Args defaults{};
        for (size_t i = 0; i < N; ++i) {
            names_[i] = params[i].name;
            std::visit([&](auto member) { defaults_[i] = as_number(defaults.*member); }, params[i].slot);
            if (params[i].required) {
                if (nrequired_ != (Py_ssize_t)i) throw "required parameters come first";
                ++nrequired_;
            } else if (std::holds_alternative<PyObject *Args::*>(params[i].slot) && !params[i].default_text) {
                throw "an optional object parameter states its default as text";
            }
        }
    }

    // A vectorcall: positional arguments then keyword values (`kwnames`).
    Args parse(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) const {
        std::array<PyObject *, N> given{};
        parse_args(func_, names_.data(), N, nrequired_, star_ != nullptr, args, nargs, kwnames, given.data());
        return convert(given);
    }
    // A tp_init call: an args tuple and a kwargs dict.
    Args parse(PyObject *args, PyObject *kwargs) const {
        std::array<PyObject *, N> given{};
        parse_args_tuple(func_, names_.data(), N, nrequired_, args, kwargs, given.data());
        return convert(given);
    }

    std::string text(bool method) const override {
        std::string s = "(";
        auto add = [&s](std::string_view part) {
            if (s.size() > 1) s.append(", ");
            s.append(part);
        };
        if (method) add("$self");
        for (size_t i = 0; i < N; ++i) {
            add(params_[i].name);
            if (!params_[i].required) s.append("=").append(default_of(i));
        }
        if (star_) {
            add("*");
            s.append(star_);
        }
        return s.append(")");
    }

private:
    Args convert(const std::array<PyObject *, N> &given) const {
        Args out{};
        for (size_t i = 0; i < N; ++i) {
            PyObject *o = given[i];
            if (!o) continue;
            const char *name = params_[i].name;
            std::visit(
                [&](auto member) {
                    using T = std::remove_reference_t<decltype(out.*member)>;
                    if constexpr (std::is_same_v<T, PyObject *>) out.*member = o;
                    else if constexpr (std::is_same_v<T, size_t>) out.*member = as_size_t(o, name);
                    else if constexpr (std::is_same_v<T, int32_t>) out.*member = as_int32(o, name);
                    else out.*member = truth(o);
                },
                params_[i].slot);
        }
        return out;
    }

    // The struct's defaults, taken when the table is made.
    static constexpr long long as_number(PyObject *) { return 0; }
    static constexpr long long as_number(long long v) { return v; }

    std::string default_of(size_t i) const {
        if (params_[i].default_text) return params_[i].default_text;
        if (std::holds_alternative<bool Args::*>(params_[i].slot)) return defaults_[i] ? "True" : "False";
        return std::to_string(defaults_[i]);
    }

    const char *func_;
    const char *star_;
    std::array<Param<Args>, N> params_;
    std::array<const char *, N> names_{};
    std::array<long long, N> defaults_{};
    Py_ssize_t nrequired_ = 0;
};

template <class Args, size_t N>
constexpr Signature<Args, N> signature(const char *func, const Param<Args> (&params)[N],
                                       const char *star = nullptr) {
    return Signature<Args, N>(func, std::to_array(params), star);
}
// A signature without named parameters, optionally with a *args.
constexpr Signature<NoArgs, 0> signature(const char *func, const char *star = nullptr) {
    return Signature<NoArgs, 0>(func, {}, star);
}

// `doc` headed by "name(text signature)\n--\n\n", the form from which CPython
// takes a type's __text_signature__ and strips it from __doc__. Kept for the
// process's life, as the static type that points to it; `doc` itself should
// the text fail to be made.
const char *doc_with_signature(const char *name, const TextSignature &sig, const char *doc) noexcept;

}  // namespace ferry
