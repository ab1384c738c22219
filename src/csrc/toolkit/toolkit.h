// The toolkit: the machinery that every reader of every quorvane module
// shares, written once.  Header-only, so the hot paths inline into the
// readers; nothing here has external linkage that leaves a module (the
// modules are built with hidden visibility and export maps).
//
//   compat.h  the 3.12 and 3.13 C API calls for older interpreters, under
//             their own names; qv::stateless_module_slots
//   ref.h     qv::Ref: owned references
//   cursor.h  qv::Cursor<Policy>: the place in the document and the one way
//             to fail there; qv::PositionError (_quorvane's "parse error at
//             line L, column C: msg") and qv::OffsetError (_std's
//             ValueError(msg, byte_offset)); qv::line_col
//   buffer.h  qv::Buffer<T, N>: growable array with an inline first block;
//             qv::RefStack: a stack of owned references
//   scan.h    qv::scan_string_run, qv::skip_ws_run, qv::find_line_end,
//             qv::skip_digit_run: byte runs, SSE2 unless QUORVANE_PORTABLE
//   hash.h    qv::words_of, qv::hash_bytes, qv::hash_combine, qv::hash_pointer
//   table.h   qv::HashTable: open addressing, one growth rule
//   str.h     qv::StrMaker: str from UTF-8 bytes; qv::utf8_encode
//   keys.h    qv::KeyCache: key strs made once per call
//   number.h  digits, 64-bit and arbitrary precision integers, floats
//             (float.h: correctly rounded decimal to double), qv::refused
//   dict.h    qv::get_or_add, qv::child_dict
//   dates.h   qv::DateTimeCalls: the datetime C API where the module has
//             none (included by itself, after <datetime.h>)
//   toml_lex.h  qv::toml: the lexing both TOML readers share (included
//             by themselves)
//   depth.h   qv::DepthGuard: the nesting limit, and the room left on the
//             calling thread's stack
//   spans.h   qv::SpanTable: where each key and value was written, for
//             the readers asked for spans
//
// Each header's top comment documents its API.
#pragma once

#include "buffer.h"
#include "compat.h"
#include "cursor.h"
#include "depth.h"
#include "dict.h"
#include "hash.h"
#include "keys.h"
#include "number.h"
#include "ref.h"
#include "scan.h"
#include "spans.h"
#include "str.h"
#include "table.h"
