// Names the frame itself uses, interned once per process at the first create step.
#pragma once

#include "ref.h"

namespace frame {

struct FrameNames {
    PyObject* name;
    PyObject* loader;
    PyObject* origin;
    PyObject* parent;
    PyObject* submodule_search_locations;
    PyObject* dunder_loader;
    PyObject* dunder_file;
    PyObject* dunder_package;
    PyObject* dunder_path;
    PyObject* dunder_builtins;
    PyObject* dunder_test;
    PyObject* dunder_spec;
    PyObject* dunder_name;
    PyObject* dunder_main;
    PyObject* initializing;
};

extern FrameNames frame_names;

// -1 with an exception set.
int init_frame_names();

}  // namespace frame
