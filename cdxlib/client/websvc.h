// Web-service transport of the command client (connection kind 4).
//
// A central server named by an http or https URL is reached through the web
// service "WebServ" (namespace "urn:service"): every request record goes out
// as the base64 "Request" of one SOAP call "SendRequest" (Host ".",
// ResultSize = the reply buffer's capacity) and the reply record comes back
// as its base64 "result". The SOAP layer is gSOAP with HTTP keep-alive and
// compressed (gzip, level 9) request bodies.
//
// Endpoint formed from the server URL: "scheme://host", ":port" when the URL
// has a port other than the scheme's own (80, 443); the path, where an empty
// path or "/" becomes "/<product name>/" and a path of one segment gets
// "BIN/mod_gsoap.dll" after it ("/a" and "/a/" give "/a/BIN/mod_gsoap.dll");
// a path of two or more segments is kept; then the URL's query, or
// "?Service". A user name and password in the URL are percent-decoded and
// sent as HTTP credentials.
//
// https: the server's certificate chain is verified against the system's
// trusted certificates (SSL_CERT_FILE and SSL_CERT_DIR are honoured); its
// name is not compared with the host, and revocation is not checked. The
// registry value "TlsVerify" = "OFF" (see tlssock.h) turns verification off.
//
// Time-outs: the connection's time-out in milliseconds for connect, send
// and receive; 0 gives 30 s to connect and 60 s to send or receive.
//
// Errors (errno and the thread's last error): 10060 time-out, 12029 cannot
// connect, 12007 name not resolved, 12030 connection cut, 12152 a reply that
// is not HTTP or not the service's answer, 12045 untrusted certificate,
// 12037 expired certificate, 234 a result larger than the reply buffer,
// 87 an endpoint of 1284 characters or more; an HTTP status without a SOAP
// fault gives that status number (404, 503, ...); a SOAP fault gives the
// library's fault code 12. Every failure writes the fault text to the debug
// trace.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kWebEndpointSize = 2084;
constexpr size_t kWebCredentialSize = 128;

// Forms the endpoint and the decoded credentials from a server URL (user
// and password may be null). 1, or 0 with the last error set.
int Web_FormEndpoint(const char* url, char* endpoint, size_t endpointSize, char* user, char* password);

// One web session: the SOAP context, the endpoint, the credentials and the
// last internet error of its calls.
struct WebSession;

// Makes a session for the server URL (no connection is made yet). Returns
// null with the last error set, after "InternetCrackUrl failed" or
// "soap_register_plugin_arg failed" in the debug trace.
WebSession* Web_OpenSession(const char* url, int timeoutMs);

// One SOAP call. *replyLength: the capacity on entry, the reply's length on
// return. resultSize is the ResultSize the server is told (0: the
// capacity; the connection table asks for less when it receives into more
// room than its caller has). Returns 1, or 0 with errno and the last error
// set; after 0 the caller closes the session.
int Web_SessionTransact(WebSession* session, const void* request, uint32_t length, void* reply,
                        uint32_t* replyLength, uint32_t resultSize = 0);

// Ends the session (its connection too); null is ignored.
void Web_CloseSession(WebSession* session);

// The endpoint of a session.
const char* Web_SessionEndpoint(const WebSession* session);

// The process-wide switch: sessions opened afterwards record their internet
// errors through Web_OnError.
void Web_EnableErrorCallback();

// Records code as the last internet error of the session whose call failed
// (requestHandle is that session); returns 0: no dialog, no retry.
int Web_OnError(void* requestHandle, uint32_t code);
