// Standard input, read through the engine's own buffer so that the search can
// tell whether a command is waiting, whether it already sits in the buffer or
// still in the pipe.
#pragma once

// Next character of standard input, or -1 at end of input.
int readInputChar();
// True when unread input is waiting (buffered, or readable without blocking).
// End of input is not "waiting": a closed stream never stops a search.
bool inputWaiting();
// True when standard input has reached its end with nothing left unread:
// nobody can send "stop" any more.  Reads waiting input into the buffer.
bool inputEnded();
