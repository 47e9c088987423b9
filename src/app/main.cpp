#include "app/application.h"

int main(int argc, char** argv) {
    return qe::CQuorvaneEnrollApp().InitInstance(argc, argv);
}
