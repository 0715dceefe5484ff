# The web service's SOAP stubs, generated at build time by gSOAP's soapcpp2
# from webserv.gsoap.h. The stubs and every source that includes the gSOAP
# headers are compiled with exactly the flags of gsoapssl++ (they change the
# layout of the library's context). cdxlib gets the serializers and the
# client call; cdxws_server (for test servers) the request dispatcher.
find_package(PkgConfig REQUIRED)
pkg_check_modules(GSOAPSSL REQUIRED gsoapssl++)
find_package(ZLIB REQUIRED)
find_program(SOAPCPP2 soapcpp2 REQUIRED)
# The static archive: the shared library needs the generated serializers
# in every program that links it, the archive only in programs that call it
# (the scanner links cdxlib without the web service).
find_library(GSOAPSSL_ARCHIVE NAMES libgsoapssl++.a HINTS ${GSOAPSSL_LIBRARY_DIRS} REQUIRED)

set(CDX_WEBSERV_DIR ${CMAKE_CURRENT_BINARY_DIR}/webserv)
set(CDX_WEBSERV_DIR ${CDX_WEBSERV_DIR} PARENT_SCOPE)
set(webserv_outputs ${CDX_WEBSERV_DIR}/cdxwsC.cpp ${CDX_WEBSERV_DIR}/cdxwsClient.cpp ${CDX_WEBSERV_DIR}/cdxwsServer.cpp
    ${CDX_WEBSERV_DIR}/cdxwsH.h ${CDX_WEBSERV_DIR}/cdxwsStub.h ${CDX_WEBSERV_DIR}/WebServ.nsmap)
add_custom_command(
  OUTPUT ${webserv_outputs}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CDX_WEBSERV_DIR}
  COMMAND ${SOAPCPP2} -1 -e -t -z2 -L -x -w -pcdxws -d${CDX_WEBSERV_DIR}
          ${CMAKE_CURRENT_SOURCE_DIR}/client/webserv.gsoap.h > /dev/null
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/client/webserv.gsoap.h
  COMMENT "Generating the WebServ SOAP stubs")
add_custom_target(cdxws_generate DEPENDS ${webserv_outputs})

# Compile flags and link libraries of everything that includes stdsoap2.h.
add_library(cdx_gsoap INTERFACE)
target_compile_options(cdx_gsoap INTERFACE ${GSOAPSSL_CFLAGS})
target_include_directories(cdx_gsoap INTERFACE ${CDX_WEBSERV_DIR})
target_link_libraries(cdx_gsoap INTERFACE ${GSOAPSSL_ARCHIVE} ZLIB::ZLIB OpenSSL::SSL OpenSSL::Crypto)

set(gsoap_flags ${GSOAPSSL_CFLAGS} -I${CDX_WEBSERV_DIR})
target_sources(cdxlib PRIVATE ${CDX_WEBSERV_DIR}/cdxwsC.cpp ${CDX_WEBSERV_DIR}/cdxwsClient.cpp)
set_source_files_properties(${CDX_WEBSERV_DIR}/cdxwsC.cpp ${CDX_WEBSERV_DIR}/cdxwsClient.cpp
                            PROPERTIES COMPILE_OPTIONS "${gsoap_flags};-w")
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/client/websvc.cpp PROPERTIES COMPILE_OPTIONS "${gsoap_flags}")
add_dependencies(cdxlib cdxws_generate)
# A shared library that carries the web service (libqd_setup.so, which sets
# the target property CDX_GSOAP_SHARED) cannot take the archive (it is not
# position-independent): it links gSOAP's shared library, and gives it the
# serializer callbacks it calls back into (see its export list).
find_library(GSOAPSSL_SHARED NAMES libgsoapssl++.so HINTS ${GSOAPSSL_LIBRARY_DIRS} REQUIRED)
target_link_libraries(cdxlib PUBLIC "$<IF:$<BOOL:$<TARGET_PROPERTY:CDX_GSOAP_SHARED>>,${GSOAPSSL_SHARED},${GSOAPSSL_ARCHIVE}>"
                      ZLIB::ZLIB)

add_library(cdxws_server STATIC ${CDX_WEBSERV_DIR}/cdxwsServer.cpp)
set_source_files_properties(${CDX_WEBSERV_DIR}/cdxwsServer.cpp PROPERTIES COMPILE_OPTIONS "-w")
target_link_libraries(cdxws_server PUBLIC cdxlib PRIVATE cdx_gsoap)
