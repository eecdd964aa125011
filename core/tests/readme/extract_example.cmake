# Writes the ```c block found between the markers "<!-- example: c-session -->"
# and "<!-- end example -->" of README to OUTPUT.
# Usage: cmake -DREADME=<README.md> -DOUTPUT=<file.c> -P extract_example.cmake

file(READ "${README}" readme)
string(REGEX MATCH "<!-- example: c-session -->.*<!-- end example -->" section "${readme}")
if(section STREQUAL "")
  message(FATAL_ERROR "${README}: no '<!-- example: c-session -->' ... '<!-- end example -->' section")
endif()

string(REGEX MATCHALL "\n```c\n" openings "${section}")
list(LENGTH openings count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "${README}: the example section must hold exactly one ```c block (found ${count})")
endif()
string(FIND "${section}" "\n```c\n" start)
math(EXPR start "${start} + 6")
string(SUBSTRING "${section}" ${start} -1 rest)
string(FIND "${rest}" "\n```" stop)
if(stop EQUAL -1)
  message(FATAL_ERROR "${README}: the ```c block of the example section is not closed")
endif()
math(EXPR stop "${stop} + 1")
string(SUBSTRING "${rest}" 0 ${stop} code)

# Rewrite only on a real change, so that the example is not rebuilt for nothing.
set(previous "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
endif()
if(NOT previous STREQUAL code)
  file(WRITE "${OUTPUT}" "${code}")
endif()
