#include "app/selvar_app.h"

#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/log.h>

#include "core/service_core.h"

wxIMPLEMENT_DYNAMIC_CLASS(SelvarApp, wxEvtHandler);

namespace {

const wxCmdLineEntryDesc SELVAR_COMMAND_LINE[] = {
    {wxCMD_LINE_SWITCH, "d", "debug", "do not daemonize", wxCMD_LINE_VAL_NONE, wxCMD_LINE_PARAM_OPTIONAL},
    {wxCMD_LINE_NONE, nullptr, nullptr, nullptr, wxCMD_LINE_VAL_NONE, 0},
};

}  // namespace

SelvarApp::SelvarApp() {
  instanceChecker.Create(SELVAR_INSTANCE_NAME, SELVAR_INSTANCE_DIR);
}

SelvarApp::~SelvarApp() {}

void SelvarApp::OnInitCmdLine(wxCmdLineParser& parser) {
  wxAppConsole::OnInitCmdLine(parser);
  parser.SetDesc(SELVAR_COMMAND_LINE);
}

bool SelvarApp::OnCmdLineParsed(wxCmdLineParser& parser) {
  if (!wxAppConsole::OnCmdLineParsed(parser)) return false;
  if (instanceChecker.IsAnotherRunning()) {
    wxLogError(_("Selvar is already running.  Stop Selvar first."));
    return false;
  }
  return true;
}

bool SelvarApp::OnInit() {
  if (!wxAppConsole::OnInit()) return false;
  const wxString invoked = argv[0];
  executableName = invoked;
  // A bare name is looked up through PATH, as the shell found it. A relative
  // path with a directory in it names a file relative to the current
  // directory, which normalisation below resolves.
  if (!wxIsAbsolutePath(executableName.GetFullPath()) && !invoked.Contains("/")) {
    wxPathList path;
    path.AddEnvList("PATH");
    executableName = path.FindAbsoluteValidPath(invoked);
  }
  // Every normalisation except case folding.
  executableName.Normalize(wxPATH_NORM_ENV_VARS | wxPATH_NORM_DOTS | wxPATH_NORM_TILDE | wxPATH_NORM_ABSOLUTE |
                               wxPATH_NORM_LONG | wxPATH_NORM_SHORTCUT,
                           wxEmptyString, wxPATH_NATIVE);
  wxSetWorkingDirectory(executableName.GetPath(wxPATH_GET_VOLUME));
  g_Service = new ServiceCore(executableName);
  return true;
}

int SelvarApp::OnExit() {
  delete g_Service;
  g_Service = nullptr;
  return wxAppConsole::OnExit();
}
