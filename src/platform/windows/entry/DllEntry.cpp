// Entry of Halvex.dll on Windows.
//
// Nothing to do here: DllMain is defined in Halvex.cpp, which the DLL links from the library
// archive as a whole, and the MinGW runtime's DllMainCRTStartup calls it after the C++
// runtime has constructed the library's static state (and before destroying it at detach).
// The exported names come from the module-definition file generated from ExportTable.inc.
// This file exists so the DLL target has a source of its own on both platforms; on Linux its
// counterpart runs the same start-up and detach from the shared library's load hooks.
