#!/usr/bin/env python3
"""Turn ROS .msg/.srv files into C++ message headers and Cyclone DDS IDL.

Usage: rosidl_gen.py --package PKG --out DIR --search PKG=DIR ... FILE...

The C++ side follows the ROS 2 C++ naming (pkg::msg::Name, header
pkg/msg/name.hpp, SharedPtr aliases, ::Request/::Response for services);
serialization is plain XCDR1 through ros2_runtime/cdr.hpp. The IDL uses the
names rmw_cyclonedds puts on the wire (pkg::msg::dds_::Name_).
"""
import argparse
import os
import re
import sys

PRIMITIVES = {
    # ros type: (C++ type, IDL type, default literal)
    'bool': ('bool', 'boolean', 'false'),
    'byte': ('uint8_t', 'uint8', '0'),
    'char': ('uint8_t', 'uint8', '0'),
    'float32': ('float', 'float', '0.0f'),
    'float64': ('double', 'double', '0.0'),
    'int8': ('int8_t', 'int8', '0'),
    'uint8': ('uint8_t', 'uint8', '0'),
    'int16': ('int16_t', 'int16', '0'),
    'uint16': ('uint16_t', 'uint16', '0'),
    'int32': ('int32_t', 'int32', '0'),
    'uint32': ('uint32_t', 'uint32', '0u'),
    'int64': ('int64_t', 'int64', '0'),
    'uint64': ('uint64_t', 'uint64', '0u'),
}

# Words IDL reserves (compared without case); such member names get the IDL
# escape, a leading underscore, which is not part of the name on the wire.
IDL_KEYWORDS = {
    'abstract', 'any', 'alias', 'attribute', 'bitfield', 'bitmask', 'bitset', 'boolean', 'case',
    'char', 'component', 'connector', 'const', 'consumes', 'context', 'custom', 'default',
    'double', 'exception', 'emits', 'enum', 'eventtype', 'factory', 'false', 'finder', 'fixed',
    'float', 'getraises', 'getter', 'home', 'import', 'in', 'inout', 'interface', 'local', 'long',
    'manages', 'map', 'mirrorport', 'module', 'multiple', 'native', 'object', 'octet', 'oneway',
    'out', 'primarykey', 'private', 'port', 'porttype', 'provides', 'public', 'publishes',
    'raises', 'readonly', 'setraises', 'setter', 'sequence', 'short', 'string', 'struct',
    'supports', 'switch', 'true', 'truncatable', 'typedef', 'typeid', 'typename', 'typeprefix',
    'unsigned', 'union', 'uses', 'valuebase', 'valuetype', 'void', 'wchar', 'wstring', 'int8',
    'uint8', 'int16', 'int32', 'int64', 'uint16', 'uint32', 'uint64',
}


class GenError(Exception):
  pass


def snake_case(name):
  # "PointCloud2" -> "point_cloud2", "TFMessage" -> "tf_message", "ColorRGBA" -> "color_rgba"
  out = []
  for i, ch in enumerate(name):
    if ch.isupper() and i > 0:
      prev = name[i - 1]
      nxt = name[i + 1] if i + 1 < len(name) else ''
      if prev.islower() or prev.isdigit() or (prev.isupper() and nxt.islower()):
        out.append('_')
    out.append(ch.lower())
  return ''.join(out)


class Field:
  def __init__(self, base, pkg, name, array, bound, default, string_bound):
    self.base = base          # primitive name, 'string', or message name
    self.pkg = pkg            # package of a message type, else None
    self.name = name
    self.array = array        # None, 'seq' or 'fixed'
    self.bound = bound        # element count for 'fixed', upper bound for bounded 'seq'
    self.default = default    # literal text from the file or None
    self.string_bound = string_bound


class Constant:
  def __init__(self, base, name, value):
    self.base, self.name, self.value = base, name, value


def strip_comment(line):
  in_str = None
  for i, ch in enumerate(line):
    if ch in '"\'':
      if in_str is None:
        in_str = ch
      elif in_str == ch:
        in_str = None
    elif ch == '#' and in_str is None:
      return line[:i]
  return line


TYPE_RE = re.compile(r'^([A-Za-z][A-Za-z0-9_]*(?:/[A-Za-z][A-Za-z0-9_]*)?)(?:<=(\d+))?(\[(<=)?(\d*)\])?$')


def parse_type(text, pkg, where):
  m = TYPE_RE.match(text)
  if not m:
    raise GenError('%s: bad type "%s"' % (where, text))
  base, sbound, arr, bounded, count = m.groups()
  array = None
  bound = None
  if arr is not None:
    if count == '':
      array = 'seq'
    elif bounded:
      array, bound = 'seq', int(count)
    else:
      array, bound = 'fixed', int(count)
  msg_pkg = None
  if base in PRIMITIVES or base == 'string':
    pass
  elif base == 'wstring':
    raise GenError('%s: wstring is not supported' % where)
  elif '/' in base:
    msg_pkg, base = base.split('/')
  elif base == 'Header':
    msg_pkg = 'std_msgs'
  else:
    msg_pkg = pkg
  if sbound is not None and base != 'string':
    raise GenError('%s: only strings take a <= bound' % where)
  return base, msg_pkg, array, bound, (int(sbound) if sbound else None)


def parse_section(lines, pkg, where):
  fields, consts = [], []
  for lineno, raw in lines:
    line = strip_comment(raw).strip()
    if not line:
      continue
    loc = '%s:%d' % (where, lineno)
    m = re.match(r'^(\S+)\s+([A-Za-z][A-Za-z0-9_]*)\s*=\s*(.*)$', line)
    if m:
      base = m.group(1)
      if base not in PRIMITIVES and base != 'string':
        raise GenError('%s: constants must be primitive' % loc)
      consts.append(Constant(base, m.group(2), m.group(3).strip()))
      continue
    parts = line.split(None, 2)
    if len(parts) < 2:
      raise GenError('%s: expected "type name"' % loc)
    base, mpkg, array, bound, sbound = parse_type(parts[0], pkg, loc)
    if not re.match(r'^[a-z][a-z0-9_]*$', parts[1]):
      raise GenError('%s: bad field name "%s"' % (loc, parts[1]))
    default = parts[2].strip() if len(parts) == 3 else None
    fields.append(Field(base, mpkg, parts[1], array, bound, default, sbound))
  return fields, consts


def read_interface(path, pkg):
  with open(path, encoding='utf-8') as f:
    lines = list(enumerate(f.read().split('\n'), 1))
  name = os.path.splitext(os.path.basename(path))[0]
  if path.endswith('.srv'):
    split = [i for i, (_, l) in enumerate(lines) if l.strip() == '---']
    if len(split) != 1:
      raise GenError('%s: a service needs exactly one "---"' % path)
    req = parse_section(lines[:split[0]], pkg, path)
    rsp = parse_section(lines[split[0] + 1:], pkg, path)
    return 'srv', name, [(name + '_Request', req), (name + '_Response', rsp)]
  return 'msg', name, [(name, parse_section(lines, pkg, path))]


# ---------------------------------------------------------------- C++ output

def cpp_elem_type(f):
  if f.base in PRIMITIVES:
    return PRIMITIVES[f.base][0]
  if f.base == 'string':
    return 'std::string'
  return '::%s::msg::%s' % (f.pkg, f.base)


def cpp_type(f):
  e = cpp_elem_type(f)
  if f.array == 'seq':
    return 'std::vector<%s>' % e
  if f.array == 'fixed':
    return 'std::array<%s, %d>' % (e, f.bound)
  return e


def cpp_literal(base, text):
  text = text.strip()
  if base == 'bool':
    low = text.lower()
    if low in ('true', '1'):
      return 'true'
    if low in ('false', '0'):
      return 'false'
    raise GenError('bad bool literal "%s"' % text)
  if base == 'string':
    if len(text) >= 2 and text[0] == text[-1] and text[0] in '"\'':
      text = text[1:-1]
    return '"%s"' % text.replace('\\', '\\\\').replace('"', '\\"')
  if base in ('float32', 'float64'):
    v = float(text)
    lit = repr(v)
    if 'e' not in lit and '.' not in lit and 'inf' not in lit and 'nan' not in lit:
      lit += '.0'
    return lit + ('f' if base == 'float32' else '')
  v = int(text, 0)
  if base.startswith('uint') or base in ('byte', 'char'):
    if v < 0:
      raise GenError('negative value for %s' % base)
    return '%du' % v if base != 'uint64' else '%dull' % v
  if base == 'int64':
    return '%dll' % v
  return '%d' % v


def cpp_default(f):
  if f.default is None:
    if f.array is None and f.base in PRIMITIVES:
      return '{%s}' % PRIMITIVES[f.base][2]
    if f.array == 'fixed' and (f.base in PRIMITIVES):
      return '{}'
    return ''
  if f.array is None:
    return '{%s}' % cpp_literal(f.base, f.default)
  text = f.default.strip()
  if not (text.startswith('[') and text.endswith(']')):
    raise GenError('array default of %s must be [..]' % f.name)
  items = [x for x in text[1:-1].split(',') if x.strip()]
  lits = ', '.join(cpp_literal(f.base, x) for x in items)
  if f.array == 'fixed':
    if len(items) != f.bound:
      raise GenError('default of %s needs %d values' % (f.name, f.bound))
    return '{{%s}}' % lits
  return '{%s}' % lits


def deps_of(structs):
  deps = set()
  for _, (fields, _) in structs:
    for f in fields:
      if f.pkg is not None:
        deps.add((f.pkg, f.base))
  return sorted(deps)


def gen_struct(pkg, kind, name, fields, consts, ros_name, dds_name):
  o = []
  o.append('struct %s {' % name)
  o.append('  using SharedPtr = std::shared_ptr<%s>;' % name)
  o.append('  using ConstSharedPtr = std::shared_ptr<const %s>;' % name)
  o.append('  using UniquePtr = std::unique_ptr<%s>;' % name)
  o.append('  using ConstUniquePtr = std::unique_ptr<const %s>;' % name)
  o.append('  using WeakPtr = std::weak_ptr<%s>;' % name)
  o.append('  using Type = %s;' % name)
  for c in consts:
    if c.base == 'string':
      o.append('  static constexpr const char* %s = %s;' % (c.name, cpp_literal('string', c.value)))
    else:
      o.append('  static constexpr %s %s = %s;' % (PRIMITIVES[c.base][0], c.name,
                                                   cpp_literal(c.base, c.value)))
  if not fields:
    o.append('  // Empty on the wire as a single byte, as rmw does.')
    o.append('  uint8_t structure_needs_at_least_one_member{0};')
  for f in fields:
    o.append('  %s %s%s;' % (cpp_type(f), f.name, cpp_default(f)))
  o.append('')
  names = [f.name for f in fields] or ['structure_needs_at_least_one_member']
  o.append('  bool operator==(const %s& other) const {' % name)
  o.append('    return ' + ' &&\n           '.join('%s == other.%s' % (n, n) for n in names) + ';')
  o.append('  }')
  o.append('  bool operator!=(const %s& other) const { return !(*this == other); }' % name)
  o.append('};')
  o.append('')
  o.append('template <class Sink>')
  o.append('inline void cdr_write(Sink& s, const %s& m) {' % name)
  for n in names:
    o.append('  s.put(m.%s);' % n)
  o.append('}')
  o.append('')
  o.append('constexpr std::size_t cdr_min_size(const %s*) {' % name)
  if fields:
    o.append('  return ' + ' +\n         '.join(
        '::ros2_runtime::cdr::min_wire_size<decltype(%s::%s)>()' % (name, f.name)
        for f in fields) + ';')
  else:
    o.append('  return 1;')
  o.append('}')
  o.append('')
  o.append('inline bool cdr_read(::ros2_runtime::cdr::Reader& r, %s& m) {' % name)
  checks = []
  for f in fields:
    if f.array == 'seq' and f.bound is not None:
      checks.append('r.get_bounded(m.%s, %d)' % (f.name, f.bound))
    elif f.string_bound is not None and f.array is None:
      checks.append('r.get_bounded(m.%s, %d)' % (f.name, f.string_bound))
    else:
      checks.append('r.get(m.%s)' % f.name)
  if not fields:
    checks.append('r.get(m.structure_needs_at_least_one_member)')
  o.append('  return ' + ' &&\n         '.join(checks) + ';')
  o.append('}')
  return o


def gen_cpp(pkg, kind, name, structs):
  guard_deps = deps_of(structs)
  o = ['// Generated from %s/%s/%s.%s; do not edit.' % (pkg, kind, name, kind), '#pragma once', '',
       '#include <array>', '#include <cstddef>', '#include <cstdint>', '#include <memory>',
       '#include <string>',
       '#include <vector>', '', '#include "ros2_runtime/cdr.hpp"']
  for dpkg, dname in guard_deps:
    if (dpkg, dname) in ((pkg, s) for s, _ in structs):
      continue
    if dpkg == pkg and kind == 'srv':
      pass
    o.append('#include "%s/msg/%s.hpp"' % (dpkg, snake_case(dname)))
  o.append('')
  o.append('namespace %s {' % pkg)
  o.append('namespace %s {' % kind)
  o.append('')
  for sname, (fields, consts) in structs:
    o += gen_struct(pkg, kind, sname, fields, consts, None, None)
    o.append('')
  if kind == 'srv':
    o.append('struct %s {' % name)
    o.append('  using Request = %s_Request;' % name)
    o.append('  using Response = %s_Response;' % name)
    o.append('};')
    o.append('')
  o.append('}  // namespace %s' % kind)
  o.append('}  // namespace %s' % pkg)
  o.append('')
  o.append('namespace ros2_runtime {')
  for sname, _ in structs:
    o.append('template <>')
    o.append('struct MessageName<::%s::%s::%s> {' % (pkg, kind, sname))
    if kind == 'msg':
      ros = '%s/msg/%s' % (pkg, sname)
    else:
      ros = '%s/srv/%s' % (pkg, sname)
    o.append('  static constexpr const char* ros = "%s";' % ros)
    o.append('  static constexpr const char* dds = "%s::%s::dds_::%s_";' % (pkg, kind, sname))
    o.append('};')
  if kind == 'srv':
    o.append('template <>')
    o.append('struct ServiceName<::%s::srv::%s> {' % (pkg, name))
    o.append('  static constexpr const char* ros = "%s/srv/%s";' % (pkg, name))
    o.append('};')
  o.append('}  // namespace ros2_runtime')
  o.append('')
  return '\n'.join(o)


# ---------------------------------------------------------------- IDL output

def idl_member_name(n):
  return '_' + n if n.lower() in IDL_KEYWORDS else n


def idl_elem_type(f):
  if f.base in PRIMITIVES:
    return PRIMITIVES[f.base][1]
  if f.base == 'string':
    return 'string<%d>' % f.string_bound if f.string_bound else 'string'
  return '%s::msg::dds_::%s_' % (f.pkg, f.base)


def gen_idl(pkg, kind, name, structs):
  o = ['// Generated from %s/%s/%s.%s; do not edit.' % (pkg, kind, name, kind)]
  guard = '%s__%s__%s__IDL' % (pkg.upper(), kind.upper(), name.upper())
  o += ['#ifndef ' + guard, '#define ' + guard, '']
  for dpkg, dname in deps_of(structs):
    o.append('#include "%s/msg/%s.idl"' % (dpkg, dname))
  o.append('')
  o.append('module %s { module %s { module dds_ {' % (pkg, kind))
  for sname, (fields, _) in structs:
    o.append('@final')
    o.append('struct %s_ {' % sname)
    if kind == 'srv':
      o.append('  uint64 request_guid;  // request header: client writer handle')
      o.append('  int64 request_seq;    // and sequence number, echoed by the service')
    if not fields:
      o.append('  uint8 structure_needs_at_least_one_member;')
    for f in fields:
      t = idl_elem_type(f)
      n = idl_member_name(f.name)
      if f.array == 'seq':
        t = 'sequence<%s, %d>' % (t, f.bound) if f.bound else 'sequence<%s>' % t
        o.append('  %s %s;' % (t, n))
      elif f.array == 'fixed':
        o.append('  %s %s[%d];' % (t, n, f.bound))
      else:
        o.append('  %s %s;' % (t, n))
    o.append('};')
  o.append('}; }; };')
  o.append('')
  o.append('#endif')
  o.append('')
  return '\n'.join(o)


def write_if_changed(path, text):
  os.makedirs(os.path.dirname(path), exist_ok=True)
  try:
    with open(path, encoding='utf-8') as f:
      if f.read() == text:
        return
  except OSError:
    pass
  with open(path, 'w', encoding='utf-8') as f:
    f.write(text)


def main(argv):
  ap = argparse.ArgumentParser()
  ap.add_argument('--package', required=True)
  ap.add_argument('--out', required=True)
  ap.add_argument('--idl-out')
  ap.add_argument('--list-outputs', action='store_true')
  ap.add_argument('files', nargs='+')
  a = ap.parse_args(argv)
  try:
    for path in a.files:
      kind, name, structs = read_interface(path, a.package)
      hpp = os.path.join(a.out, a.package, kind, snake_case(name) + '.hpp')
      write_if_changed(hpp, gen_cpp(a.package, kind, name, structs))
      if a.idl_out:
        idl = os.path.join(a.idl_out, a.package, kind, name + '.idl')
        write_if_changed(idl, gen_idl(a.package, kind, name, structs))
  except (GenError, ValueError) as e:
    sys.stderr.write('rosidl_gen: %s\n' % e)
    return 1
  return 0


if __name__ == '__main__':
  sys.exit(main(sys.argv[1:]))
