# Writes site/sw.js from sw.js.in: the service worker that keeps the page's
# files for working offline, with the list of them and a version made of
# their contents (a new version replaces the old copies).
file(GLOB_RECURSE files RELATIVE ${SITE} ${SITE}/*)
list(REMOVE_ITEM files sw.js)
list(SORT files)
set(hashes "")
set(names "\"./\"")
foreach(f ${files})
  file(SHA256 ${SITE}/${f} h)
  string(APPEND hashes "${h}")
  string(APPEND names ", \"./${f}\"")
endforeach()
string(SHA256 version "${hashes}")
string(SUBSTRING ${version} 0 16 VERSION)
set(FILES "${names}")
configure_file(${TEMPLATE} ${SITE}/sw.js @ONLY)
