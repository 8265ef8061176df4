// Exports a call of the stand-in's by the handheld's bare name: the C++ files define
// Handheld_<Name> (extern "C", __cdecl, as every handheld call is) and name it here once;
// the DLL then exports it as <Name>. The desktop's headers keep <Name> itself for the
// desktop's call, which the definition usually forwards to.
#pragma once

#define HANDHELD_EXPORT(name) \
    asm(".section .drectve\n\t.ascii \" -export:" #name "=Handheld_" #name "\"\n\t.text")
