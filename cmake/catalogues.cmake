# The catalogues of translations (src/util/lang/<code>.inc), packed with LZMA into catalogues.inc for
# lang.cpp at build time by cmake/pack_catalogues.py; lang.cpp unpacks them with the LZMA SDK's decoder.
set(CATALOGUE_CODES de fr es it pt pl cs ru uk ja zh)  # the order of lang.cpp's languages
set(catalogue_files "")
foreach(code ${CATALOGUE_CODES})
  list(APPEND catalogue_files ${CMAKE_SOURCE_DIR}/src/util/lang/${code}.inc)
endforeach()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/generated)
set(packed_catalogues ${CMAKE_BINARY_DIR}/generated/catalogues.inc)
add_custom_command(OUTPUT ${packed_catalogues}
                   COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/pack_catalogues.py ${packed_catalogues}
                           ${catalogue_files}
                   DEPENDS ${catalogue_files} ${CMAKE_SOURCE_DIR}/cmake/pack_catalogues.py
                   COMMENT "Packing the catalogues of translations")
add_custom_target(catalogues DEPENDS ${packed_catalogues})
add_dependencies(zs_util catalogues)
target_include_directories(zs_util PRIVATE ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(zs_util PRIVATE lzma_sdk)
