// Where the libraries an application loads by bare name come from. The system looks in the
// launcher's own folder first, and a launcher is often started from a folder anyone can drop
// files into (Downloads): a plugin.dll there would replace the one the payload carries.
#pragma once

/// Before the main library loads: from now on a library loaded by bare name comes from
/// `folder` (the unpacked application) or the system folder, never from the launcher's folder,
/// the current folder or PATH. Returns true when that holds. On a system without
/// SetDefaultDllDirectories (Vista, Windows 7 without update KB2533623) it makes `folder` the
/// DLL directory instead, searched right after the launcher's folder, and returns false.
bool confine_library_search(const wchar_t* folder);
