// Process entry: the framework creates the application object and runs it.
#include <wx/app.h>

#include "app/selvar_app.h"

wxIMPLEMENT_APP_NO_MAIN(SelvarApp);

int main(int argc, char** argv) { return wxEntry(argc, argv); }
