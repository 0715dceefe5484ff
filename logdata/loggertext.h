// The text file of a logger's configuration, read and written by sections
// as the events texts are (eventstext.h).
#pragma once

// The file is "<name>_<number>.txt" (in the
// current directory, the configuration's "LOGGERS") when the server is this
// machine or a pipe server, else
// "\\<server>\CDX_CURRENT_CONFIG\LOGGERS\<name>_<number>.txt" through the
// server. A name that is empty or holds '/', '\' or ".." is refused (-1,
// error 123). Results as ReadTextSection and WriteTextSection.
int LoggerText_Read(const char* server, const char* loggerName, int loggerNumber, const char* section, char* buffer,
                    int* size);
int LoggerText_Write(const char* server, const char* loggerName, int loggerNumber, const char* section,
                     const char* text);
