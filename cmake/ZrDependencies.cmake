# External dependencies, all from Debian packages (tools/install-deps.sh).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(NSPR REQUIRED IMPORTED_TARGET nspr)

# wxWidgets base only. FindwxWidgets omits wxUSE_GUI=0; without it wxEventLoop means the GTK loop.
find_package(wxWidgets 3.2 REQUIRED COMPONENTS base)
add_library(zr_wxbase INTERFACE)
target_include_directories(zr_wxbase SYSTEM INTERFACE ${wxWidgets_INCLUDE_DIRS})
target_compile_definitions(zr_wxbase INTERFACE ${wxWidgets_DEFINITIONS} wxUSE_GUI=0)
target_compile_options(zr_wxbase INTERFACE ${wxWidgets_CXX_FLAGS})
target_link_libraries(zr_wxbase INTERFACE ${wxWidgets_LIBRARIES})

# OpenLDAP's libldap and liblber stand in for the LDAP C API.
find_path(LDAP_INCLUDE_DIR ldap.h REQUIRED)
find_library(LDAP_LIBRARY ldap REQUIRED)
find_library(LBER_LIBRARY lber REQUIRED)
add_library(zr_ldap INTERFACE)
target_include_directories(zr_ldap SYSTEM INTERFACE ${LDAP_INCLUDE_DIR})
target_compile_definitions(zr_ldap INTERFACE LDAP_DEPRECATED=1)
target_link_libraries(zr_ldap INTERFACE ${LDAP_LIBRARY} ${LBER_LIBRARY})

find_package(BISON 3.0 REQUIRED)
find_program(MSGFMT_EXECUTABLE msgfmt REQUIRED)

if(ZR_BUILD_TESTS)
  find_package(GTest REQUIRED)
  pkg_check_modules(NSS IMPORTED_TARGET nss)
endif()
if(ZR_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
