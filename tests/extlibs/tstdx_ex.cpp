// A test extension library that exports only Ex_DoXml.
extern "C" int Ex_DoXml() { return 1; }
