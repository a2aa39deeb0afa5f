# cmake -DOUTPUT=file -DFILES=a,b,c -P Concatenate.cmake
# Writes OUTPUT: the files in turn. Used to wrap the same JavaScript as an ES
# module for npm and as one function for the page's worker.
string(REPLACE "," ";" FILES "${FILES}")
set(text "")
foreach(file IN LISTS FILES)
  file(READ "${file}" part)
  string(APPEND text "${part}")
endforeach()
file(WRITE "${OUTPUT}" "${text}")
