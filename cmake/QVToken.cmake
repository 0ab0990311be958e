# The portable token target, shared by the program and the vendor's service (which builds it
# natively): lib/CryptU, the standard-C++ headers it uses and the words both sides send
# (ServiceVocabU.h). Its users see these headers through a folder of their own in the build tree,
# so code that links only the token target cannot include any of the Windows units beside them in
# lib/.
set(QV_TOKEN_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../lib)
set(QV_TOKEN_HEADERS CryptU.h StringU.h FallbackU.h ServiceVocabU.h)
set(QV_TOKEN_INCLUDE_DIR ${CMAKE_BINARY_DIR}/token-include)
foreach(header ${QV_TOKEN_HEADERS})
    configure_file(${QV_TOKEN_SOURCE_DIR}/${header} ${QV_TOKEN_INCLUDE_DIR}/${header} COPYONLY)
endforeach()
add_library(qvtoken STATIC ${QV_TOKEN_SOURCE_DIR}/CryptU.cpp ${QV_TOKEN_SOURCE_DIR}/FallbackU.cpp)
target_include_directories(qvtoken PUBLIC ${QV_TOKEN_INCLUDE_DIR})
