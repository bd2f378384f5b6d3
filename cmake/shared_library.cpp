// The shared client library is the layers' archives linked whole; this unit only gives the
// target a source of its own.
