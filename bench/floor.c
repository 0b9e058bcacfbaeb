/* The allocation floor of a batch conversion: a list of n 2-tuples, each
 * holding two freshly allocated small objects, built at the C level with
 * nothing else done per element. The objects are ints above the small-int
 * cache (one 30-bit digit, 28 bytes, the same pymalloc size class as a
 * 32-byte QuibId and one above a 24-byte SornId), so every one is a real
 * allocation, like the two identifiers a conversion creates per element. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *
pairs(PyObject *self, PyObject *arg)
{
    (void)self;
    Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n < 0) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "n must be non-negative");
        return NULL;
    }
    PyObject *list = PyList_New(n);
    if (list == NULL)
        return NULL;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *t = PyTuple_New(2);
        if (t == NULL) {
            Py_DECREF(list);
            return NULL;
        }
        PyList_SET_ITEM(list, i, t);
        for (Py_ssize_t k = 0; k < 2; ++k) {
            PyObject *v = PyLong_FromSsize_t(1000000 + 2 * (i & 0xFFFFF) + k);
            if (v == NULL) {
                Py_DECREF(list);
                return NULL;
            }
            PyTuple_SET_ITEM(t, k, v);
        }
    }
    return list;
}

static PyMethodDef methods[] = {
    {"pairs", pairs, METH_O, "pairs(n): a list of n tuples of two fresh ints."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_bench_floor", NULL, -1, methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit__bench_floor(void)
{
    return PyModule_Create(&module);
}
