# Checks that a page of the developer documentation names only code that
# exists. Run as
#
#     cmake -DPAGE=docs/data-flow.md -DROOT=. -P tests/docs/CheckCodeReferences.cmake
#
# (PAGE relative to ROOT; ROOT defaults to the source tree this script is in.)
# The page marks its references as code spans:
#
#     `platform/mm/WaveIn.h`                  the file must exist
#     `platform/mm/WaveInAlsa.cpp: AlsaOpen`  ... and define AlsaOpen
#     `mm/capture/MMWavIn.cpp: TMMCustomWaveIn::Stop`
#
# A name is defined in a file when a line starting at column 0 declares it
# (a type or qualifier, then the name, then "(", "=" or "{"): a free
# function, a constant, or a member defined out of line. A member defined
# inside its class (Class::Member) also counts when the file holds the head
# of that class and, after it, a declaration of Member. Every missing file or
# name is listed; the check fails when there is one, or when the page names
# nothing at all (its markup would have drifted from this script's).

cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED ROOT)
  get_filename_component(ROOT "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
endif()
if(NOT DEFINED PAGE)
  set(PAGE docs/data-flow.md)
endif()
if(NOT IS_ABSOLUTE "${PAGE}")
  set(PAGE "${ROOT}/${PAGE}")
endif()
if(NOT EXISTS "${PAGE}")
  message(FATAL_ERROR "no page ${PAGE}")
endif()

set(word "[A-Za-z_][A-Za-z0-9_]*")
set(path_re "[A-Za-z0-9_.-]+(/[A-Za-z0-9_.-]+)*\\.(cpp|h|cmake|form|md|txt|py)")
file(READ "${PAGE}" page)
# List separators and brackets never stand in a reference; elsewhere they
# would split or join CMake's list items.
string(REGEX REPLACE "[][;]" "_" page "${page}")
string(REGEX MATCHALL "`[^`\n]+`" spans "${page}")

set(checked 0)
set(missing "")
set(seen "")
foreach(span IN LISTS spans)
  string(REGEX REPLACE "^`(.*)`$" "\\1" ref "${span}")
  if(ref IN_LIST seen)
    continue()
  endif()
  list(APPEND seen "${ref}")
  if(ref MATCHES "^(${path_re}): (${word}(::~?${word})*)$")
    set(file "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_4}")
  elseif(ref MATCHES "^${path_re}$" AND ref MATCHES "/")
    set(file "${ref}")
    set(name "")
  else()
    continue() # code that is no reference: a flag, a message, a value
  endif()
  math(EXPR checked "${checked} + 1")
  if(NOT EXISTS "${ROOT}/${file}")
    list(APPEND missing "${file}: no such file")
    continue()
  endif()
  if(name STREQUAL "")
    continue()
  endif()
  file(READ "${ROOT}/${file}" text)
  set(text "\n${text}")
  set(decl_end "[ \t]*[(={]")
  # Defined at column 0, out of line if qualified.
  if(text MATCHES "\n([A-Za-z_][^\n;]*[ \t*&])?${name}${decl_end}")
    continue()
  endif()
  # A member defined in its class: the class head, then the member.
  if(name MATCHES "^(.*::)?(${word})::(~?${word})$")
    set(owner "${CMAKE_MATCH_2}")
    set(member "${CMAKE_MATCH_3}")
    string(REGEX MATCH "\n[ \t]*(class|struct)[ \t]+${owner}[ \t\n:{]" head "${text}")
    if(NOT head STREQUAL "")
      string(FIND "${text}" "${head}" at)
      string(SUBSTRING "${text}" ${at} -1 body)
      if(body MATCHES "\n[ \t]+([^\n;]*[ \t*&])?${member}${decl_end}")
        continue()
      endif()
    endif()
  endif()
  list(APPEND missing "${file}: no ${name}")
endforeach()

file(RELATIVE_PATH shown "${ROOT}" "${PAGE}")
if(checked EQUAL 0)
  message(FATAL_ERROR "${shown} names no file or function in the `path: Name` markup")
endif()
if(missing)
  list(LENGTH missing count)
  list(JOIN missing "\n  " lines)
  message(FATAL_ERROR "${shown}: ${count} of ${checked} references name what the code no longer has:\n  ${lines}")
endif()
message(STATUS "${shown}: all ${checked} references found")
