// A lexicon as one block of bytes and back (trie/lexicon_image.hpp):
// Lexicon._image(), which save() writes and a pickle carries, and
// Lexicon._from_image(data, values), which load() and unpickling call.
#include <Python.h>

#include <string>
#include <vector>

#include "lexicon_maker.hpp"
#include "trie/lexicon_image.hpp"

namespace velarin {
namespace {

// The UTF-8 form of a str appended to `out`; false when it has none (a
// lone surrogate).
bool append_utf8(PyObject *text, std::string &out) {
    const size_t n = size_t(PyUnicode_GET_LENGTH(text));
    return with_code_units(PyUnicode_KIND(text), PyUnicode_DATA(text), [&](const auto *units) {
        if (has_surrogate(units, n)) return false;
        const size_t at = out.size();
        out.resize(at + utf8_length(units, n));
        utf8_encode(units, n, reinterpret_cast<unsigned char *>(out.data() + at));
        return true;
    });
}

// Strings laid one after another, with their offsets, for an image's writer.
struct Texts {
    std::string bytes;
    std::vector<size_t> starts, lengths;
    std::vector<const unsigned char *> pointers;

    bool add(PyObject *text) {
        if (!PyUnicode_Check(text)) return false;
        const size_t at = bytes.size();
        if (!append_utf8(text, bytes)) return false;
        starts.push_back(at);
        lengths.push_back(bytes.size() - at);
        return true;
    }

    // Points at each string, once all are in.
    void finish() {
        pointers.clear();
        for (size_t start : starts) pointers.push_back(reinterpret_cast<const unsigned char *>(bytes.data()) + start);
    }
};

// Lexicon._image(): (bytes, values), the image and, when the values are not
// None, ints or strs, the list of them by id that the image leaves out.
PyObject *image_of(PyObject *self, PyObject *) {
    LexiconObject *lex = lexicon_argument(self, "_image", 0);
    if (lex == nullptr) return nullptr;
    const TrieStore &store = lexicon_store(lex);
    const size_t n = size_t(lex->num_words);
    LexiconImage parts;
    parts.num_words = n;
    parts.words = store.bytes_strings;
    parts.word_lengths = store.bytes_lengths;
    try {
        // The lexicon's arrays are by rank; the image's by id.
        std::vector<uint32_t> rank_of(n);
        for (size_t r = 0; r < n; ++r) rank_of[lex->rank_to_id[r]] = uint32_t(r);
        std::vector<int64_t> ints64;
        std::vector<int32_t> ints32;
        Texts values, tags;
        OwnedRef outside;
        switch (lex->value_kind) {
        case ValueKind::none:
            parts.values = ImageValues::none;
            break;
        case ValueKind::int32:
            for (size_t id = 0; id < n; ++id) ints32.push_back(static_cast<const int32_t *>(lex->values)[rank_of[id]]);
            parts.values = ImageValues::int32;
            parts.int_values = ints32.data();
            break;
        case ValueKind::int64:
            for (size_t id = 0; id < n; ++id) ints64.push_back(static_cast<const int64_t *>(lex->values)[rank_of[id]]);
            parts.values = ImageValues::int64;
            parts.int_values = ints64.data();
            break;
        case ValueKind::object: {
            auto *objects = static_cast<PyObject *const *>(lex->values);
            bool all_str = true;
            for (size_t id = 0; id < n && all_str; ++id) all_str = values.add(objects[rank_of[id]]);
            if (all_str) {
                values.finish();
                parts.values = ImageValues::str;
                parts.str_values = values.pointers.data();
                parts.str_lengths = values.lengths.data();
                break;
            }
            parts.values = ImageValues::outside;
            outside = OwnedRef::steal(PyList_New(Py_ssize_t(n)));
            if (!outside) return nullptr;
            for (size_t id = 0; id < n; ++id)
                PyList_SET_ITEM(outside.borrow(), Py_ssize_t(id), Py_NewRef(objects[rank_of[id]]));
            break;
        }
        }
        std::vector<unsigned char> numbers;
        if (lex->tag_width != 0) {
            for (Py_ssize_t t = 0; t < PyTuple_GET_SIZE(lex->tag_names); ++t)
                if (!tags.add(PyTuple_GET_ITEM(lex->tag_names, t))) {
                    PyErr_SetString(PyExc_ValueError, "a tag has no UTF-8 form");
                    return nullptr;
                }
            tags.finish();
            // Each word's tag number by id, as wide as the lexicon keeps it.
            const size_t width = size_t(lex->tag_width);
            numbers.resize(n * width);
            for (size_t id = 0; id < n; ++id)
                __builtin_memcpy(numbers.data() + id * width, static_cast<const unsigned char *>(lex->tags) + rank_of[id] * width, width);
            parts.num_tags = uint32_t(tags.lengths.size());
            parts.tag_names = tags.pointers.data();
            parts.tag_lengths = tags.lengths.data();
            parts.tag_width = lex->tag_width;
            parts.tag_numbers = numbers.data();
        }
        OwnedRef image = OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(image_size(parts))));
        if (!image) return nullptr;
        write_image(parts, reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(image.borrow())));
        return PyTuple_Pack(2, image.borrow(), outside ? outside.borrow() : Py_None);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

// The words of a read image in byte order, as make_lexicon reads them.
class ImageSource {
public:
    explicit ImageSource(const LexiconImage &image) : image_(image) {}
    ImageSource(const ImageSource &) = delete;
    ImageSource &operator=(const ImageSource &) = delete;
    ~ImageSource() {
        for (PyObject *value : objects_) Py_XDECREF(value);
    }

    // Finds where each word starts and makes the values that are objects:
    // the image's strs, or those given. 0, or -1 with an exception set.
    int prepare(PyObject *given) {
        const uint64_t n = image_.num_words;
        uint64_t at = 0;
        starts_.reserve(size_t(n));
        for (uint64_t k = 0; k < n; ++k) {
            starts_.push_back(size_t(at));
            at += image_word_length(image_, k);
        }
        if (image_.values == ImageValues::outside) {
            if (given == Py_None || !PyList_CheckExact(given) || uint64_t(PyList_GET_SIZE(given)) != n) {
                PyErr_SetString(PyExc_ValueError, "the image leaves its values out and no list of them, one a word, was given");
                return -1;
            }
            for (uint64_t k = 0; k < n; ++k) objects_.push_back(Py_NewRef(PyList_GET_ITEM(given, Py_ssize_t(k))));
        } else if (image_.values == ImageValues::str) {
            const unsigned char *text = image_.value_section;
            for (uint64_t k = 0; k < n; ++k) {
                uint32_t length;
                __builtin_memcpy(&length, image_.value_length_section + 4 * k, 4);
                PyObject *value = word_str(reinterpret_cast<const char *>(text), length);
                if (value == nullptr) return -1;
                objects_.push_back(value);
                text += length;
            }
        }
        return 0;
    }

    size_t size() const { return size_t(image_.num_words); }
    const unsigned char *word(size_t k) const { return image_.word_section + starts_[k]; }
    int32_t length(size_t k) const { return int32_t(image_word_length(image_, k)); }
    ValueKind kind() const {
        switch (image_.values) {
        case ImageValues::none:
            return ValueKind::none;
        case ImageValues::int32:
            return ValueKind::int32;
        case ImageValues::int64:
            return ValueKind::int64;
        default:
            return ValueKind::object;
        }
    }
    bool place_value(size_t k, void *values, size_t rank) const {
        if (image_.values == ImageValues::int32)
            __builtin_memcpy(static_cast<int32_t *>(values) + rank, image_.value_section + 4 * k, 4);
        else if (image_.values == ImageValues::int64)
            __builtin_memcpy(static_cast<int64_t *>(values) + rank, image_.value_section + 8 * k, 8);
        else if (!objects_.empty())
            static_cast<PyObject **>(values)[rank] = objects_[k];
        return true;
    }
    void release_values() { objects_.clear(); }
    size_t tag_count() const { return image_.num_tags; }
    PyObject *tag_names() const {
        OwnedRef names = OwnedRef::steal(PyTuple_New(Py_ssize_t(image_.num_tags)));
        const unsigned char *text = image_.tag_name_section;
        for (uint32_t t = 0; names && t < image_.num_tags; ++t) {
            uint32_t length;
            __builtin_memcpy(&length, image_.tag_length_section + 4 * t, 4);
            PyObject *name = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(text), Py_ssize_t(length), nullptr);
            if (name == nullptr) return nullptr;
            PyTuple_SET_ITEM(names.borrow(), Py_ssize_t(t), name);
            text += length;
        }
        return names.release();
    }
    uint32_t tag(size_t k) const {
        const unsigned char *at = image_.tag_number_section + k * size_t(image_.tag_width);
        if (image_.tag_width == 1) return at[0];
        uint32_t number = 0;
        __builtin_memcpy(&number, at, size_t(image_.tag_width));
        return number;
    }

private:
    const LexiconImage &image_;
    std::vector<size_t> starts_;
    std::vector<PyObject *> objects_;  // strong, by id, until the lexicon takes them
};

// Lexicon._from_image(data, values): the lexicon of an image (any bytes-like
// object), with the list of values it leaves out, or None. ValueError, one
// line, for a block that is not a lexicon's image.
PyObject *from_image(PyObject *cls, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(cls), &LexiconType)) {
        PyErr_SetString(PyExc_TypeError, "_from_image() takes the image and its values left out (or None)");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
    LexiconImage image;
    const ImageError error = read_image(static_cast<const unsigned char *>(view.buf), size_t(view.len), image);
    PyObject *made = nullptr;
    if (error != ImageError::ok) {
        PyErr_SetString(PyExc_ValueError, image_error_message(error));
    } else {
        try {
            ImageSource source(image);
            if (source.prepare(args[1]) == 0) made = make_lexicon(reinterpret_cast<PyTypeObject *>(cls), source);
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
        }
    }
    PyBuffer_Release(&view);
    return made;
}

PyMethodDef file_methods[] = {
    {"_image", image_of, METH_NOARGS, "The lexicon as one block of bytes, and the values it leaves out (or None)."},
    {"_from_image", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_image)), METH_FASTCALL | METH_CLASS,
     "The lexicon of a block made by _image()."},
    {nullptr, nullptr, 0, nullptr},
};

const LexiconMethods registered(file_methods);

}  // namespace
}  // namespace velarin
