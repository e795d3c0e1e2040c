// SPDX-License-Identifier: MIT
/// \file
/// KITE_EXPORT marks what the kit's shared libraries export: the classes and functions of
/// the public headers. Built with KITE_HIDDEN_SYMBOLS, a library exports nothing else, so a
/// program can only come to depend on what these headers document.
///
/// On a class it exports the whole class: its members, its vtable and its type information,
/// which an exception needs to be caught across libraries. Class templates and inline
/// functions need no mark: every user instantiates them itself.
#ifndef BOLT_EXPORT_H
#define BOLT_EXPORT_H

/// Exported from the shared library that defines it, whatever the build's default.
#define KITE_EXPORT __attribute__((visibility("default")))
/// Kept inside its library although its class is exported: a private member function that
/// no inline code of a public header calls.
#define KITE_NO_EXPORT __attribute__((visibility("hidden")))

#endif
