#!/bin/sh
# check_def_symbols.sh CXX HEADER DEF
#
# Checks a .def file against the C header that declares its functions, with
# the cross compiler: the functions the header declares are exactly those the
# .def exports, and the stdcall symbol each .def line names (right of '=',
# e.g. VORN_DAL_Login@12) is the one the compiler makes from the header's
# declaration, so the argument byte counts cannot drift from the prototypes.
set -eu
cxx=$1 header=$2 def=$3
cc=$(echo "$cxx" | sed 's/g++\(-[a-z]*\)\{0,1\}$/gcc\1/')
nm=$(echo "$cxx" | sed 's/g++\(-[a-z]*\)\{0,1\}$/nm/')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# "EXPORTED = SYMBOL@N" lines of the EXPORTS section -> SYMBOL@N
sed -n '/^EXPORTS/,$p' "$def" | sed 's/;.*//' | sed -n 's/^[[:space:]]*[^[:space:]=]\{1,\}[[:space:]]*=[[:space:]]*\([^[:space:]]\{1,\}\).*/\1/p' \
  | sort > "$work/def_symbols"
sed 's/@[0-9]*$//' "$work/def_symbols" | sort > "$work/def_functions"

# The functions the header declares (GCC's -aux-info lists each prototype
# with the file it comes from).
printf '#include "%s"\n' "$header" > "$work/decl.c"
"$cc" -fsyntax-only -aux-info "$work/aux" "$work/decl.c"
grep -F "/* $header:" "$work/aux" | sed -n 's/.*[[:space:]*]\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*(.*/\1/p' \
  | sort -u > "$work/header_functions"
if ! diff -u "$work/header_functions" "$work/def_functions" > "$work/diff"; then
  echo "$def: the functions differ from those $header declares (- header only, + .def only):"
  sed -n '3,$p' "$work/diff" | grep '^[-+]'
  exit 1
fi

# One reference to each; the object's undefined symbols are the stdcall names.
{
  printf '#include "%s"\nvoid *const pelu7DefRefs[] = {\n' "$header"
  sed 's/.*/  (void *)\&&,/' "$work/def_functions"
  printf '};\n'
} > "$work/refs.c"
"$cc" -c -o "$work/refs.o" "$work/refs.c"
"$nm" -u "$work/refs.o" | awk '{print $NF}' | sed 's/^_//' | sort > "$work/compiled_symbols"
if ! diff -u "$work/compiled_symbols" "$work/def_symbols" > "$work/diff"; then
  echo "$def: stdcall symbols differ from the header's prototypes (- compiled, + .def):"
  sed -n '3,$p' "$work/diff" | grep '^[-+]'
  exit 1
fi
echo "$def: $(wc -l < "$work/def_symbols") symbols match $header"
