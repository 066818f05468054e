#include <QTextStream>

int main()
{
    QTextStream(stdout) << "Lumacast was built, but its application window is not there yet: "
                           "this build has the document model and its services only.\n";
    return 0;
}
