# cmake -DFILE=page.1 -P RoffText.cmake
# Writes the Turkish letters of a manual page as groff's named characters:
# man renders a page's raw UTF-8 as question marks wherever it does not
# guess the page's encoding.
file(READ "${FILE}" page)
foreach(pair "ç|\\[c ac]" "Ç|\\[C ac]" "ş|\\[s ac]" "Ş|\\[S ac]" "ğ|\\[g ab]" "Ğ|\\[G ab]"
             "ı|\\[.i]" "İ|\\[I .]" "ö|\\[:o]" "Ö|\\[:O]" "ü|\\[:u]" "Ü|\\[:U]")
  string(REPLACE "|" ";" parts "${pair}")
  list(GET parts 0 letter)
  list(GET parts 1 name)
  string(REPLACE "${letter}" "${name}" page "${page}")
endforeach()
file(WRITE "${FILE}" "${page}")
