# What ships, and nothing else: `cmake --install build/windows --prefix DIR` (or
# scripts/release DIR) gives launcher.exe and pkgtool.exe with the documents for the teams that
# use them (product teams, package builders, the authors of ProductConfig.xml). The stand-in
# client (Veltmora.exe) and the test programs are never installed.
if(WIN32)
  set(program_dir .)
  set(doc_dir .)
else()
  # Natively only pkgtool is a program anyone uses.
  include(GNUInstallDirs)
  set(program_dir ${CMAKE_INSTALL_BINDIR})
  set(doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()

if(TARGET launcher)
  install(TARGETS launcher RUNTIME DESTINATION ${program_dir})
endif()
install(TARGETS pkgtool RUNTIME DESTINATION ${program_dir})
install(FILES LICENSE CHANGELOG.md DESTINATION ${doc_dir})
install(FILES docs/deployment.md docs/update-packages.md docs/product-config.md
  DESTINATION ${doc_dir}/docs)
