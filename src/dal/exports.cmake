# Makes, from the one list of the DAL's exports (exports.txt), what the build
# and the checks need, in ${CMAKE_BINARY_DIR}/dal_exports/:
#   VORN_DAL_EXPORTED_NAMES    the names of the export table (a CMake list),
#                              also written one a line to
#                              ${CMAKE_BINARY_DIR}/vorn_dal_exports.txt
#   VORN_DAL_VERSION_SCRIPT    the Linux version script (vorn_dal_pelu7.map)
#   VORN_DAL_DEF               vorn_dal_pelu7.def, the DLL's export table
#   VORN_DAL_IMP_DEF           vorn_dal_pelu7_imp.def, for its import library
#   VORN_DAL_DECORATED_PLACEHOLDERS  the Linux link's stand-ins _NAME_N for the
#                              decorated names, and VORN_DAL_PLACEHOLDER_ALIASES
#                              the link options that make them
# A file is rewritten only when its text changes, and an edit of the list
# reconfigures the build.
set(VORN_DAL_EXPORTS_LIST ${CMAKE_CURRENT_LIST_DIR}/exports.txt)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VORN_DAL_EXPORTS_LIST})
set(VORN_DAL_EXPORTS_DIR ${CMAKE_BINARY_DIR}/dal_exports)
set(VORN_DAL_VERSION_SCRIPT ${VORN_DAL_EXPORTS_DIR}/vorn_dal_pelu7.map)
set(VORN_DAL_DEF ${VORN_DAL_EXPORTS_DIR}/vorn_dal_pelu7.def)
set(VORN_DAL_IMP_DEF ${VORN_DAL_EXPORTS_DIR}/vorn_dal_pelu7_imp.def)

set(VORN_DAL_EXPORTED_NAMES)
set(VORN_DAL_DECORATED_PLACEHOLDERS)
set(VORN_DAL_PLACEHOLDER_ALIASES)
set(_names_text "")
set(_map_global "")
set(_map_local "")
set(_def_lines "")
set(_imp_lines "")
file(STRINGS ${VORN_DAL_EXPORTS_LIST} _lines REGEX "^[^#]")
foreach(_line IN LISTS _lines)
  string(REGEX REPLACE "[ \t]+" ";" _words "${_line}")
  list(LENGTH _words _count)
  list(GET _words 0 _name)
  list(GET _words 1 _bytes)
  if(NOT _name MATCHES "^VORN_DAL_[A-Za-z0-9]+$" OR NOT _bytes MATCHES "^[0-9]+$" OR _count GREATER 3)
    message(FATAL_ERROR "${VORN_DAL_EXPORTS_LIST}: not NAME BYTES [decorated]: ${_line}")
  endif()
  set(_decorated FALSE)
  if(_count EQUAL 3)
    list(GET _words 2 _mark)
    if(NOT _mark STREQUAL "decorated")
      message(FATAL_ERROR "${VORN_DAL_EXPORTS_LIST}: not NAME BYTES [decorated]: ${_line}")
    endif()
    set(_decorated TRUE)
  endif()
  if(_decorated)
    set(_exported _${_name}@${_bytes})
    # The linker cannot make a name with '@': a same-length placeholder is
    # exported, and elfsym renames it after the link.
    list(APPEND VORN_DAL_DECORATED_PLACEHOLDERS _${_name}_${_bytes})
    list(APPEND VORN_DAL_PLACEHOLDER_ALIASES -Wl,--defsym=_${_name}_${_bytes}=${_name})
    string(APPEND _map_global "    _${_name}_${_bytes};\n")
    string(APPEND _map_local "    ${_name};\n")
    string(APPEND _imp_lines "  ${_name}@${_bytes} == _${_name}@${_bytes}\n")
  else()
    set(_exported ${_name})
    string(APPEND _map_global "    ${_name};\n")
    string(APPEND _imp_lines "  ${_name}@${_bytes}\n")
  endif()
  list(APPEND VORN_DAL_EXPORTED_NAMES ${_exported})
  string(APPEND _names_text "${_exported}\n")
  string(APPEND _def_lines "  ${_exported} = ${_name}@${_bytes}\n")
endforeach()
list(LENGTH VORN_DAL_EXPORTED_NAMES VORN_DAL_EXPORT_COUNT)

file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/vorn_dal_exports.txt CONTENT "${_names_text}")
file(CONFIGURE OUTPUT ${VORN_DAL_VERSION_SCRIPT} CONTENT "\
/* Export table of libvorn_dal_pelu7.so, made from src/dal/exports.txt. The
 * functions marked there as decorated are exported only under their names
 * _NAME@N. The linker cannot make such names, so they are linked as the
 * placeholders _NAME_N (aliases given with --defsym) and renamed after the
 * link by elfsym; their plain names stay local. */
{
  global:
${_map_global}  local:
${_map_local}    *;
};
")
file(CONFIGURE OUTPUT ${VORN_DAL_DEF} CONTENT "\
; vorn_dal_pelu7.dll: the exported names, exactly these ${VORN_DAL_EXPORT_COUNT}.
; Made from src/dal/exports.txt.
; Every export is __stdcall. The left side is the name in the export table,
; the right side the stdcall symbol (mingw writes it without the leading
; underscore; N in @N is the argument bytes, 4 per argument on x86).
; Link without --kill-at and --add-stdcall-alias, and mark nothing
; __declspec(dllexport): either would add names.
LIBRARY vorn_dal_pelu7.dll
EXPORTS
${_def_lines}")
file(CONFIGURE OUTPUT ${VORN_DAL_IMP_DEF} CONTENT "\
; Import library for host programs that link vorn_dal_pelu7.dll at load time,
; made with `dlltool -k -d vorn_dal_pelu7_imp.def` (from src/dal/exports.txt).
; A __stdcall caller refers to _VORN_DAL_Login@12 and so on; -k binds those
; to the plain exported names, and `==` binds the decorated functions to
; their decorated exports.
LIBRARY vorn_dal_pelu7.dll
EXPORTS
${_imp_lines}")
