# cmake --install: the scanner, the configuration library with the headers a
# host compiles against, and the tools, under the prefix's bin/, lib/,
# include/cdxdriver/ and share/doc/cdxdriver/.

install(TARGETS qd_poll cdxsim df1sim cdxipc cdxreg qdprint kvzip cdxfakesrv qddemo RUNTIME DESTINATION bin)
install(TARGETS qd_setup LIBRARY DESTINATION lib)
# The library's interface (its entry points and the host record) and the
# channel record it takes, at the paths they include each other by.
install(FILES config_dialogs/qd_setup.h config_dialogs/hostrecord.h DESTINATION include/cdxdriver/config_dialogs)
install(FILES cdxlib/records/chanconfig.h DESTINATION include/cdxdriver/cdxlib/records)
install(FILES README.md DESTINATION share/doc/cdxdriver)
