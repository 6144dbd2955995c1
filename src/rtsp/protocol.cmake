# Request parsing, credentials, the account table and the Base64 stream
# decoder: pure protocol pieces without sockets or event loop.
set(NERIVO_RTSP_PROTOCOL_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/AccessCheck.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Authenticator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Base64StreamDecoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ConstantTime.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Credentials.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RTSPDate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RTSPRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransportHeader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UserAuthenticationDatabase.cpp)
if(NERIVO_RTSP_PROTOCOL_SOURCES)
  add_library(nerivo_rtsp_protocol STATIC ${NERIVO_RTSP_PROTOCOL_SOURCES})
  target_link_libraries(nerivo_rtsp_protocol PUBLIC nerivo_rtp OpenSSL::Crypto)
else()
  add_library(nerivo_rtsp_protocol INTERFACE)
  target_link_libraries(nerivo_rtsp_protocol INTERFACE nerivo_rtp OpenSSL::Crypto)
endif()
