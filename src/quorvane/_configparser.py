"""configparser's own parser classes, reading through quorvane's INI reader.

:class:`RawConfigParser` and :class:`ConfigParser` are subclasses of
configparser's classes of the same names.  Everything but reading is
configparser's own; ``read``, ``read_file`` and ``read_string`` give the
text to quorvane's reader, which hands back each section's own keys and
the problems it met, and the parser's state is filled from that as
configparser's reading fills it: the same sections, options and values,
the same exceptions with the same arguments, and the same state after
them.

A parser that reads in its own way (a subclass that overrides a reading
method, patterns of its own for headers, options or indentation, lines
that are not plain str) reads through configparser's own code.
"""

# This module fills configparser's private state (_sections, _read, _UNSET,
# ...), which configparser's type stubs do not describe.
# mypy: disable-error-code="attr-defined, no-any-return, misc, comparison-overlap, call-overload, call-arg"

from __future__ import annotations

import configparser as _cp
import functools
import hashlib
import io
import operator
import os
import re
import sys
import types
from typing import Any, Iterable

from . import _std

__all__ = ["ConfigParser", "RawConfigParser"]

_Base = _cp.RawConfigParser
_NEW_READING = sys.version_info >= (3, 13)
_UNNAMED = getattr(_cp, "UNNAMED_SECTION", None)
_REFUSED = (_cp.DuplicateSectionError, _cp.DuplicateOptionError,
            _cp.MissingSectionHeaderError)

# configparser's reading methods: a class that overrides one reads through
# configparser's code, which calls its overrides where they belong.
_HOOKS = tuple(name for name in (
    "_read_inner", "_handle_continuation_line", "_handle_rest", "_handle_header",
    "_handle_option", "_join_multiline_values") if hasattr(_Base, name))


def _own_reading(cls: type) -> bool:
    """Whether the class reads as configparser's classes do (cached)."""
    try:
        return _READS_NATIVELY[cls]
    except KeyError:
        pass
    ok = (all(getattr(cls, name) is getattr(_Base, name) for name in _HOOKS)
          and cls._read is RawConfigParser._read
          and cls.read_file is _Base.read_file)
    _READS_NATIVELY[cls] = ok
    return ok


_READS_NATIVELY: dict[type, bool] = {}

# ---------------------------------------------------------------------------
# Making parsers and section proxies
#
# configparser's constructor finds the parser's getters in dir(parser),
# which costs more than reading a small file, and each section's proxy is
# made by a call through the class.  Where the interpreter's configparser
# makes them as the code below does (the same code, checked by its
# bytecode), the parser is made here with the getters found from the
# classes' namespaces, and the proxies without the calls between; anywhere
# else configparser's own constructor is used.

def _fingerprint(function: Any) -> str:
    def canonical(const: Any) -> Any:
        # Sets of constants are ordered by hash, and code objects show
        # their address: neither is the same in two processes.
        if isinstance(const, frozenset):
            return sorted(map(repr, const))
        if isinstance(const, tuple):
            return [canonical(c) for c in const]
        if isinstance(const, types.CodeType):
            return [const.co_code.hex(), canonical(const.co_consts), const.co_names,
                    const.co_varnames]
        return repr(const)
    return hashlib.sha256(repr(canonical(function.__code__)).encode()).hexdigest()[:16]


_SectionProxy = _cp.SectionProxy
_ConverterMapping = _cp.ConverterMapping
_PROXY_INIT = _SectionProxy.__init__
_FAST_PROXIES = _fingerprint(_PROXY_INIT) == "9977832f98f6cbcd"
_FAST_MAKING = (_FAST_PROXIES and _NEW_READING
                and _fingerprint(_Base.__init__) == "fda462323684d2b1"
                and _fingerprint(_ConverterMapping.__init__) == "9966d6f5f6fbf84c")
_GETTERCRE = _ConverterMapping.GETTERCRE
_new = object.__new__

# By class: its version (which changes when it or a base of it changes),
# and the names starting with "get" it has, sorted as dir() sorts them.
_GETTER_NAMES: dict[type, tuple[int, list[str]]] = {}


def _getter_names(cls: type) -> list[str]:
    version = _std.type_version(cls)
    known = _GETTER_NAMES.get(cls)
    if known is not None and known[0] == version != 0:
        return known[1]
    names = sorted({n for c in cls.__mro__ for n in vars(c) if n[:3] == "get"})
    _GETTER_NAMES[cls] = (version, names)
    return names


# By class, with its version: the converters of a parser whose getters are
# all plain functions of its classes (callable whatever the instance), and
# the names its section proxies hold them under, interned, and whether its
# instances take the constructor's attributes plainly (_plain_instances).
_CONVERTERS: dict[type, tuple[int, list[Any], list[str], bool]] = {}


def _converter_mapping(parser: Any) -> Any:
    """ConverterMapping(parser), with the candidates dir() would offer."""
    cls = type(parser)
    if cls.__dir__ is not object.__dir__:
        return _ConverterMapping(parser)
    mapping = _new(_ConverterMapping)
    mapping._parser = parser
    own = [n for n in parser.__dict__ if n[:3] == "get"]
    if not own:
        known = _CONVERTERS.get(cls)
        if known is not None and known[0] == _std.type_version(cls) != 0:
            mapping._data = dict.fromkeys(known[1])
            return mapping
    names = _getter_names(cls)
    if own:
        names = sorted(set(names).union(own))
    mapping._data = {}
    plain = not own
    for getter in names:
        m = _GETTERCRE.match(getter)
        if not m:
            continue
        if plain and not isinstance(_class_attribute(cls, getter), types.FunctionType):
            plain = False
        if not callable(getattr(parser, getter)):
            continue
        mapping._data[m.group("name")] = None
    if plain:
        convs = list(mapping._data)
        _CONVERTERS[cls] = (_GETTER_NAMES[cls][0], convs, _getter_keys(convs),
                            _plain_instances(cls))
    return mapping


# The attributes configparser's constructor gives a parser, in its order.
if _NEW_READING:
    _PARSER_WORDS: tuple[str, ...] = (
        "_dict", "_sections", "_defaults", "_converters", "_proxies", "_delimiters", "_optcre",
        "_prefixes", "_strict", "_allow_no_value", "_empty_lines_in_values", "default_section",
        "_interpolation", "_allow_unnamed_section")
else:
    _PARSER_WORDS = (
        "_dict", "_sections", "_defaults", "_converters", "_proxies", "_delimiters", "_optcre",
        "_comment_prefixes", "_strict", "_allow_no_value", "_empty_lines_in_values",
        "default_section", "_interpolation", "_inline_comment_prefixes")


def _plain_instances(cls: type) -> bool:
    """Whether setting the constructor's attributes on an instance is storing
    them in its own dict, and reading them back finds them there: nothing of
    the class intercepts attribute access or holds a data descriptor of
    those names."""
    if (cls.__setattr__ is not object.__setattr__
            or cls.__getattribute__ is not object.__getattribute__
            or _class_attribute(cls, "__getattr__") is not None
            or cls.__dir__ is not object.__dir__ or not cls.__dictoffset__):
        return False
    for name in _PARSER_WORDS:
        found = _class_attribute(cls, name)
        if found is not None and (hasattr(type(found), "__set__")
                                  or hasattr(type(found), "__delete__")):
            return False
    return True


def _getter_keys(convs: list[Any]) -> list[str]:
    # As SectionProxy's constructor names them ("get" + converter name).
    return [sys.intern(key) if type(key) is str else key
            for key in ["get" + conv for conv in convs]]


def _class_attribute(cls: type, name: str) -> Any:
    for c in cls.__mro__:
        if name in vars(c):
            return vars(c)[name]
    return None


def _proxy_keys(parser: Any) -> list[str] | None:
    """The getters the parser's section proxies hold, when they can be made
    here as SectionProxy(parser, name) makes them; else None."""
    if (_cp.SectionProxy is _SectionProxy and _SectionProxy.__init__ is _PROXY_INIT
            and _FAST_PROXIES and type(parser).converters is _CONVERTERS_PROPERTY
            and type(parser._converters) is _ConverterMapping
            and _ConverterMapping.__iter__ is _CONVERTERS_ITER):
        convs = parser._converters._data
        known = _CONVERTERS.get(type(parser))
        # The class's own converters, the very names (the usual case): their
        # getters' names, made once.
        if known is not None and len(convs) == len(known[1]) and all(map(_is, convs, known[1])):
            return known[2]
        return _getter_keys(list(convs))
    return None


def _add_proxies(parser: Any, names: list[Any]) -> None:
    """parser._proxies[name] = SectionProxy(parser, name) for each name (owed
    till looked up, where the parser's proxies are _SectionProxies)."""
    proxies = parser._proxies
    if type(proxies) is _SectionProxies:
        proxies.owe(names)
    else:
        _make_proxies_into(proxies, parser, names)


def _make_proxies_into(proxies: Any, parser: Any, names: list[Any]) -> None:
    keys = _proxy_keys(parser)
    if keys is None:
        for name in names:
            proxies[name] = _cp.SectionProxy(parser, name)
    else:
        _make_proxies(proxies, _SectionProxy, parser, names, keys, _partial, _PROXY_WORDS)


def _owed_proxy(parser: Any, name: Any) -> Any:
    # The proxy of a section looked up for the first time, made as the
    # reading would have made it.
    made: dict[Any, Any] = {}
    _make_proxies_into(made, parser, [name])
    return made[name]


# A parser's proxies, made when first looked up: most programs read values
# through parser.get() and never look at most of them (see configparser.cpp).
_SectionProxies = _std.section_proxies_type()


_CONVERTERS_PROPERTY = _Base.converters
_CONVERTERS_ITER = _ConverterMapping.__iter__
_partial = functools.partial
_make_proxies = _std.make_section_proxies
_type_version = _std.type_version
_OBJECT_DIR = object.__dir__
_PROXY_WORDS = ("_parser", "_name", "get", ("_impl",))
_is = operator.is_


def _init(self: Any, defaults: Any, dict_type: Any, allow_no_value: Any, delimiters: Any,
          comment_prefixes: Any, inline_comment_prefixes: Any, strict: Any,
          empty_lines_in_values: Any, default_section: Any, interpolation: Any,
          converters: Any, allow_unnamed_section: Any, *_known: Any) -> None:
    # configparser's constructor, statement for statement (the arguments as
    # the native one takes them; what it takes beyond them is not needed).
    self._dict = dict_type
    self._sections = self._dict()
    self._defaults = self._dict()
    # The class's converters and its proxies' getter names, when known
    # (what _converter_mapping and _add_proxies find, without the calls).
    cls = type(self)
    known = _CONVERTERS.get(cls)
    if (known is not None and cls.__dir__ is _OBJECT_DIR and known[0] == _type_version(cls) != 0
            and not [n for n in self.__dict__ if n[:3] == "get"]):
        mapping = _new(_ConverterMapping)
        mapping._parser = self
        mapping._data = dict.fromkeys(known[1])
        self._converters = mapping
        self._proxies = _new_proxies(self)
        if (type(self._proxies) is not _SectionProxies and self._converters is mapping
                and _cp.SectionProxy is _SectionProxy
                and _SectionProxy.__init__ is _PROXY_INIT and cls.converters is _CONVERTERS_PROPERTY
                and _ConverterMapping.__iter__ is _CONVERTERS_ITER):
            _make_proxies(self._proxies, _SectionProxy, self, [default_section], known[2],
                          _partial, _PROXY_WORDS)
        else:
            _add_proxies(self, [default_section])
    else:
        self._converters = _converter_mapping(self)
        self._proxies = _new_proxies(self)
        _add_proxies(self, [default_section])
    self._delimiters = tuple(delimiters)
    if delimiters == ("=", ":"):
        self._optcre = self.OPTCRE_NV if allow_no_value else self.OPTCRE
    else:
        d = "|".join(re.escape(d) for d in delimiters)
        if allow_no_value:
            self._optcre = re.compile(self._OPT_NV_TMPL.format(delim=d), re.VERBOSE)
        else:
            self._optcre = re.compile(self._OPT_TMPL.format(delim=d), re.VERBOSE)
    self._prefixes = types.SimpleNamespace(
        full=tuple(comment_prefixes or ()),
        inline=tuple(inline_comment_prefixes or ()),
    )
    self._strict = strict
    self._allow_no_value = allow_no_value
    self._empty_lines_in_values = empty_lines_in_values
    self.default_section = default_section
    self._interpolation = interpolation
    if self._interpolation is _cp._UNSET:
        self._interpolation = self._DEFAULT_INTERPOLATION
    if self._interpolation is None:
        self._interpolation = _cp.Interpolation()
    if not isinstance(self._interpolation, _cp.Interpolation):
        raise TypeError(
            f"interpolation= must be None or an instance of Interpolation;"
            f" got an object of type {type(self._interpolation)}"
        )
    if converters is not _cp._UNSET:
        self._converters.update(converters)
    if defaults:
        self._read_defaults(defaults)
    self._allow_unnamed_section = allow_unnamed_section


def _new_proxies(self: Any) -> Any:
    return (_SectionProxies(self, _owed_proxy, _MAKING, _CONVERTERS) if self._dict is dict
            else self._dict())


def _optcre_for(self: Any, delimiters: Any, allow_no_value: Any) -> Any:
    # The constructor's pattern for delimiters of the caller's own.
    d = "|".join(re.escape(d) for d in delimiters)
    if allow_no_value:
        return re.compile(self._OPT_NV_TMPL.format(delim=d), re.VERBOSE)
    return re.compile(self._OPT_TMPL.format(delim=d), re.VERBOSE)


# What the native constructor uses (see configparser.cpp).
_MAKING = (
    tuple(sys.intern(w) for w in _PARSER_WORDS + (
        "OPTCRE", "OPTCRE_NV", "_DEFAULT_INTERPOLATION", "update", "_read_defaults",
        "_parser", "_data", "SectionProxy", "__init__", "converters", "__iter__")),
    _NEW_READING, _cp._UNSET, _cp.Interpolation, _ConverterMapping, types.SimpleNamespace,
    ("full", "inline"), ("=", ":"), _optcre_for, _cp, _SectionProxy, _PROXY_INIT,
    _CONVERTERS_PROPERTY, _CONVERTERS_ITER, _partial, _PROXY_WORDS, _SectionProxies, _owed_proxy,
    _CONVERTERS)
_init_parser = _std.init_parser
_fill_parser = _std.fill_parser
_known_converters = _CONVERTERS.get


def _native_init(self: Any, defaults: Any = None, dict_type: Any = _cp._default_dict,
                 allow_no_value: Any = False, *, delimiters: Any = ("=", ":"),
                 comment_prefixes: Any = ("#", ";"), inline_comment_prefixes: Any = None,
                 strict: Any = True, empty_lines_in_values: Any = True,
                 default_section: Any = _cp.DEFAULTSECT, interpolation: Any = _cp._UNSET,
                 converters: Any = _cp._UNSET, allow_unnamed_section: Any = False) -> None:
    # configparser's constructor made natively once the class is known (its
    # first parser is made by the constructor above).
    args = (self, defaults, dict_type, allow_no_value, delimiters, comment_prefixes,
            inline_comment_prefixes, strict, empty_lines_in_values, default_section,
            interpolation, converters, allow_unnamed_section, _known_converters(type(self)),
            _MAKING)
    if not _init_parser(*args):
        _init(*args)


class RawConfigParser(_Base):
    """configparser.RawConfigParser, reading through quorvane's reader."""

    if _FAST_MAKING:
        __init__ = _native_init
    else:
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            # While configparser's constructor runs, dir() offers only the
            # names that can be getters.
            self.__dict__["_quorvane_making"] = True
            try:
                super().__init__(*args, **kwargs)
            finally:
                self.__dict__.pop("_quorvane_making", None)

        def __dir__(self) -> Iterable[str]:
            if "_quorvane_making" in self.__dict__ and type(self).__dir__ is RawConfigParser.__dir__:
                return [n for n in self.__dict__ if n[:3] == "get"] + _getter_names(type(self))
            return super().__dir__()

    def read(self, filenames: Any, encoding: str | None = None) -> list[Any]:
        if not _own_reading(type(self)):
            return super().read(filenames, encoding)
        if isinstance(filenames, (str, bytes, os.PathLike)):
            filenames = [filenames]
        encoding = io.text_encoding(encoding)
        read_ok = []
        for filename in filenames:
            try:
                with open(filename, encoding=encoding) as fp:
                    try:
                        text = fp.read()
                    except ValueError:
                        # Undecodable text: configparser reads the lines
                        # before it, then fails there.
                        fp.seek(0)
                        _Base._read(self, fp, filename)
                    else:
                        self._read_source(text, filename, None)
            except OSError:
                continue
            if isinstance(filename, os.PathLike):
                filename = os.fspath(filename)
            read_ok.append(filename)
        return read_ok

    def read_string(self, string: str, source: str = "<string>") -> None:
        if type(string) is str and (_READS_NATIVELY.get(type(self)) or _own_reading(type(self))):
            self._read_source(string, source, None)
        else:
            super().read_string(string, source)

    def _read(self, fp: Any, fpname: Any) -> None:
        if not (_READS_NATIVELY.get(type(self)) or _own_reading(type(self))):
            return super()._read(fp, fpname)
        # Each line as the file gives it: files may end their lines in
        # other ways than "\n", and a list may hold lines without one.
        failure = None
        # Where a text file's lines start, for reading them again; None for
        # other files and when the file cannot tell (not seekable, closed,
        # or after next()).
        start = None
        if type(fp) in _TEXT_FILES:
            try:
                start = fp.tell()
            except (OSError, ValueError):
                pass
        if start is not None:
            # A text file's own read() or readlines() gives its lines at
            # once; if that fails (undecodable bytes) the lines are read
            # again one by one below, from where they started.
            try:
                text = fp.read()
            except Exception:  # noqa: BLE001 - read again, and fail there
                fp.seek(start)
            else:
                # Its lines are the text's split at "\n" when:
                if type(fp) is _StringIO:
                    # a StringIO holds no "\r" (its other newline modes
                    # write one at the end of every line), or holds "\n"
                    # and reports no newlines: it ends its lines at "\n" or
                    # at "\r\n", and in the second mode it wrote every "\n"
                    # as "\r\n";
                    whole = "\r" not in text or ("\n" in text and fp.newlines is None)
                else:
                    # a file holds no "\r", and either no "\n" or it reads
                    # universal newlines (it then reports the newlines it
                    # saw).
                    whole = "\r" not in text and ("\n" not in text or fp.newlines is not None)
                if whole:
                    self._read_source(text, fpname, None)
                    return
                fp.seek(start)
                try:
                    lines = fp.readlines()
                except Exception:  # noqa: BLE001
                    fp.seek(start)
                else:
                    self._read_source(tuple(lines), fpname, lines)
                    return
        lines = []
        try:
            for line in fp:
                lines.append(line)
        except Exception as exc:  # configparser reads the lines before it
            failure = exc
        if failure is None:
            self._read_source(tuple(lines), fpname, lines)
            return
        try:
            self._read_source(tuple(lines), fpname, lines)
        except _cp.ParsingError as exc:
            # Only the faults that stop configparser's reading come before
            # the file's own; the lines it could not parse never get raised.
            if type(exc) is not _cp.ParsingError:
                raise
        raise failure

    # ---- the reading

    def _reader_options(self) -> tuple[Any, ...] | None:
        """The reader's options from the parser's state, or None when the
        parser reads in a way only configparser's code reads."""
        # configparser's reading uses these patterns and _optcre, which its
        # constructor makes from the delimiters.
        default = self.default_section
        if (self.SECTCRE is not _SECTCRE or self.NONSPACECRE is not _NONSPACECRE
                or type(default) is not str or default in self._sections):
            return None
        optcre = self._optcre
        if optcre is _OPTCRE or optcre is _OPTCRE_NV:
            # The constructor's patterns for its default delimiters.
            no_value = optcre is _OPTCRE_NV
            delimiters: Any = ("=", ":")
        else:
            delimiters = self._delimiters
            if not _str_tuple(delimiters) or optcre.flags != _VERBOSE_FLAGS:
                return None
            d = "|".join(map(re.escape, delimiters))
            if optcre.pattern == _Base._OPT_TMPL.format(delim=d):
                no_value = False
            elif optcre.pattern == _Base._OPT_NV_TMPL.format(delim=d):
                no_value = True
            else:
                return None
            delimiters = delimiters or ("",)
        if _NEW_READING:
            prefixes = self._prefixes
            full, inline = prefixes.full, prefixes.inline
            unnamed = _UNNAMED if self._allow_unnamed_section else None
        else:
            full, inline = self._comment_prefixes, self._inline_comment_prefixes
            unnamed = None
        if type(full) is not tuple or type(inline) is not tuple:
            return None
        try:
            known = (full, inline) in _STR_PAIRS
        except TypeError:  # something in them cannot be hashed
            return None
        if not known:
            if not (_str_tuple(full) and _str_tuple(inline)):
                return None
            if len(_STR_PAIRS) < 256:
                _STR_PAIRS.add((full, inline))
        if not _NEW_READING and (len(inline) > 1 or "" in full or "" in inline):
            # Before 3.13 inline comments were found another way, which
            # agrees with this one for a single non-empty prefix.
            return None
        xform: Any = self.__dict__.get("optionxform")
        if xform is None and type(self).optionxform is not _OPTIONXFORM:
            xform = self.optionxform
        return (delimiters, full, inline, bool(self._strict),
                bool(self._empty_lines_in_values), default, no_value, unnamed, xform)

    def _read_source(self, source: Any, fpname: Any, lines: list[Any] | None) -> None:
        """Reads a text (str) or its lines (tuple) into the parser."""
        # The usual parser's options are taken natively.
        result: Any = _read_parser_state(self, source, _READING) if _READING else None
        if result is None:
            options = self._reader_options()
            result = NotImplemented
            if options is not None:
                try:
                    result = _std.read_ini_state(source, *options)
                except Exception:
                    # An optionxform that fails, or a key it makes that is
                    # no dict key: configparser's reading meets it at the
                    # same place, with what it read before in the parser.
                    result = NotImplemented
        if result is NotImplemented or (result[2] is not None and not _NEW_READING):
            # Before 3.13 a stop left the values unjoined: configparser's
            # reading gives that state by construction.
            fp = io.StringIO(source) if type(source) is str else iter(lines or ())
            return _Base._read(self, fp, fpname)
        sections, errors, stop = result
        had_state = bool(self._sections or self._defaults)
        new = (_fill_parser(self, sections, _UNNAMED, _known_converters(type(self)), _MAKING)
               if self._dict is dict else NotImplemented)
        if new is NotImplemented:
            self._fill(sections)
        elif new is not None:
            _add_proxies(self, new)
        try:
            if stop is not None:
                raise _stop_error(stop, fpname)
            if errors:
                raise _parsing_error(errors, fpname)
        finally:
            # configparser joins the values of every section after each
            # reading, passing each through the interpolation's hook:
            # already done for what was read here, unless the hook is the
            # parser's own or values from before may still be lists.
            if had_state or type(self._interpolation).before_read is not _BEFORE_READ:
                self._join_multiline_values()

    def _fill(self, sections: list[tuple[Any, dict[str, Any]]]) -> None:
        own_dicts = self._dict is dict
        secs = self._sections
        default = self.default_section
        new = []
        for name, own in sections:
            if name is not _UNNAMED or _UNNAMED is None:
                if name == default:
                    self._defaults.update(own)
                    continue
                have = secs.get(name) if own_dicts else (secs[name] if name in secs else None)
                if have is not None:
                    have.update(own)
                    continue
            # A new section (the unnamed one is made afresh by each reading).
            if own_dicts:
                secs[name] = own
            else:
                fresh = self._dict()
                for key, value in own.items():
                    fresh[key] = value
                secs[name] = fresh
            new.append(name)
        if new:
            _add_proxies(self, new)


class ConfigParser(RawConfigParser, _cp.ConfigParser):
    """configparser.ConfigParser, reading through quorvane's reader."""


_BEFORE_READ = _cp.Interpolation.before_read
_SECTCRE, _NONSPACECRE = _Base.SECTCRE, _Base.NONSPACECRE
_OPTCRE, _OPTCRE_NV = _Base.OPTCRE, _Base.OPTCRE_NV
_OPTIONXFORM = _Base.optionxform
# Tuples of delimiters or prefixes seen to hold only str.
_STR_TUPLES: set[tuple[str, ...]] = set()
# And pairs of them (the comment prefixes, full and inline).
_STR_PAIRS: set[tuple[tuple[str, ...], tuple[str, ...]]] = set()
_read_parser_state = _std.read_parser_state
# What read_parser_state looks at (3.13's attributes; before, the Python
# side takes the options).
_READING = ((tuple(sys.intern(w) for w in (
    "default_section", "SECTCRE", "NONSPACECRE", "_sections", "_optcre", "_prefixes", "full",
    "inline", "_allow_unnamed_section", "optionxform", "_strict", "_empty_lines_in_values")),
    _SECTCRE, _NONSPACECRE, _OPTCRE, _OPTCRE_NV, _OPTIONXFORM, _UNNAMED) if _NEW_READING else None)


def _str_tuple(items: Any) -> bool:
    if type(items) is not tuple:
        return False
    try:
        if items in _STR_TUPLES:
            return True
    except TypeError:  # something in it cannot be hashed
        return False
    if not all(type(item) is str for item in items):
        return False
    if len(_STR_TUPLES) < 256:
        _STR_TUPLES.add(items)
    return True

_TEXT_FILES = (io.TextIOWrapper, io.StringIO)
_StringIO = io.StringIO


_VERBOSE_FLAGS = _Base.OPTCRE.flags


def _stop_error(stop: tuple[Any, ...], fpname: Any) -> Exception:
    kind = stop[0]
    if kind == "section":
        return _cp.DuplicateSectionError(stop[1], fpname, stop[2])
    if kind == "option":
        return _cp.DuplicateOptionError(stop[1], stop[2], fpname, stop[3])
    if kind == "header":
        return _cp.MissingSectionHeaderError(fpname, stop[1], stop[2])
    return _cp.MultilineContinuationError(fpname, stop[1], stop[2])


def _parsing_error(errors: list[tuple[int, str]], fpname: Any) -> _cp.ParsingError:
    if _NEW_READING:
        exc = _cp.ParsingError(fpname, *errors[0])
        for lineno, line in errors[1:]:
            exc.append(lineno, line)
    else:
        exc = _cp.ParsingError(fpname)
        for lineno, line in errors:
            exc.append(lineno, repr(line))
    return exc
