// The object of the tests' shared precompiled header (GoogleTest and the standard headers most
// tests include); the header itself is all it is built for.
