# cmake --install: the scanner, the configuration library with the headers a
# host compiles against, and the tools, under the prefix's bin/, lib/,
# include/cdxdriver/ and share/doc/cdxdriver/.

if(TARGET qd_poll)
  install(TARGETS qd_poll RUNTIME DESTINATION bin)
endif()
if(TARGET qd_setup)
  install(TARGETS qd_setup LIBRARY DESTINATION lib)
  # The library's interface (its entry points and the host record) and the
  # channel record it takes, at the paths they include each other by.
  install(FILES config_dialogs/qd_setup.h config_dialogs/hostrecord.h
          DESTINATION include/cdxdriver/config_dialogs)
  install(FILES cdxlib/records/chanconfig.h DESTINATION include/cdxdriver/cdxlib/records)
endif()
foreach(tool cdxsim df1sim cdxipc cdxreg qdprint kvzip cdxfakesrv qddemo)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION bin)
  endif()
endforeach()
install(FILES README.md DESTINATION share/doc/cdxdriver)
