// qv::DateTimeCalls: the datetime module's C API made of calls to its
// classes, for a datetime module that has none.  That is the pure-Python
// datetime, which CPython 3.12 runs in a subinterpreter with its own GIL
// (its C module cannot be loaded there); 3.13 has the C API everywhere.
//
//   DateTimeCalls calls;
//   const PyDateTime_CAPI *api = calls.of(module);  // NULL: exception set
//
// The API lives as long as the DateTimeCalls that made it; only the calls
// a reader makes of it are filled in (dates, date-times, times, deltas,
// fixed-offset zones and the UTC zone).  Include after <datetime.h>.
#pragma once

#include "ref.h"

namespace qv {

class DateTimeCalls {
public:
    const PyDateTime_CAPI *of(PyObject *module)
    {
        const char *names[] = {"date", "datetime", "time", "timedelta", "timezone"};
        for (int i = 0; i < 5; i++) {
            classes_[i].reset(PyObject_GetAttrString(module, names[i]));
            if (!classes_[i])
                return nullptr;
        }
        utc_.reset(PyObject_GetAttrString(classes_[4].get(), "utc"));
        if (!utc_)
            return nullptr;
        api_.DateType = type(0);
        api_.DateTimeType = type(1);
        api_.TimeType = type(2);
        api_.DeltaType = type(3);
        api_.TimeZone_UTC = utc_.get();
        api_.Date_FromDate = date;
        api_.DateTime_FromDateAndTime = date_time;
        api_.Time_FromTime = time;
        api_.Delta_FromDelta = delta;
        api_.TimeZone_FromTimeZone = zone;
        return &api_;
    }

private:
    PyTypeObject *type(int i) { return reinterpret_cast<PyTypeObject *>(classes_[i].get()); }

    // Each call is given its class, as in the C API; a zone is not, so its
    // class is the one of the offset's module.
    static PyObject *date(int y, int mo, int d, PyTypeObject *cls)
    {
        return PyObject_CallFunction(reinterpret_cast<PyObject *>(cls), "iii", y, mo, d);
    }
    static PyObject *date_time(int y, int mo, int d, int h, int mi, int s, int us,
                               PyObject *tz, PyTypeObject *cls)
    {
        return PyObject_CallFunction(reinterpret_cast<PyObject *>(cls), "iiiiiiiO",
                                     y, mo, d, h, mi, s, us, tz);
    }
    static PyObject *time(int h, int mi, int s, int us, PyObject *tz, PyTypeObject *cls)
    {
        return PyObject_CallFunction(reinterpret_cast<PyObject *>(cls), "iiiiO",
                                     h, mi, s, us, tz);
    }
    static PyObject *delta(int days, int seconds, int us, int, PyTypeObject *cls)
    {
        return PyObject_CallFunction(reinterpret_cast<PyObject *>(cls), "iii",
                                     days, seconds, us);
    }
    static PyObject *zone(PyObject *offset, PyObject *name)
    {
        Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(offset)),
                                          "__module__"));
        Ref loaded(module ? PyImport_GetModule(module.get()) : nullptr);
        if (!loaded) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_ImportError, "the datetime module is gone");
            return nullptr;
        }
        Ref cls(PyObject_GetAttrString(loaded.get(), "timezone"));
        if (!cls)
            return nullptr;
        if (name == nullptr)
            return PyObject_CallOneArg(cls.get(), offset);
        return PyObject_CallFunctionObjArgs(cls.get(), offset, name, nullptr);
    }

    PyDateTime_CAPI api_{};
    Ref classes_[5];
    Ref utc_;
};

}  // namespace qv
