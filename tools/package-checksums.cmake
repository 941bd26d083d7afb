# Run by CPack once the files are installed into its staging folder and
# before the archive is made: writes SHA256SUMS beside them, one line per
# file ("<sha256>  <path>", paths relative to the archive's top folder), so
# that `sha256sum -c SHA256SUMS` checks an unpacked release.
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(f IN LISTS files)
  file(SHA256 "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${f}" hash)
  string(APPEND sums "${hash}  ${f}\n")
endforeach()
file(WRITE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/SHA256SUMS" "${sums}")
