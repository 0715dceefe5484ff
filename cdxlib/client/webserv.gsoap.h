// The central server's web service "WebServ", as the code generator reads
// it: one operation, SendRequest, that carries a request record as base64
// and returns the reply record as base64. SOAP 1.1, RPC encoded.

//gsoap ns service name: WebServ
//gsoap ns service style: rpc
//gsoap ns service encoding: encoded
//gsoap ns service namespace: urn:service
//gsoap ns schema namespace: urn:service
//gsoap h schema namespace: urn:credentials

// A byte block (pointer and size).
struct xsd__base64Binary {
  unsigned char* __ptr;
  int __size;
};

// The parameter of SendRequest.
struct SendRequest {
  char* Host;                        // always "."
  struct xsd__base64Binary Request;  // the request record's bytes
  int ResultSize;                    // the capacity of the reply buffer
};

// Credentials that the interface declares; the client never sends them.
struct h__credentials {
  char* userid;
  char* passwd;
};

struct SOAP_ENV__Header {
  struct h__credentials* h__credentials;
};

// One request and its reply record.
int ns__SendRequest(struct SendRequest* request, struct xsd__base64Binary* result);
