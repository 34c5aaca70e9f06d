// The ELF library's second name for the library-information call,
// RE1DBDADF2C91EAD6b, is an alias of QDKgetLibInfo: an alias must be defined
// in the translation unit of its target, so it lives in src/api/libinfo.cpp.
// This file is left without code for the shared library's source list.
