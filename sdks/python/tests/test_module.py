import os
import shutil
import subprocess
import sys

import pytest

import quorvex

CLASSES = ["KeyPair", "EvaluationContext", "AID", "AIDBuilder", "DAT", "Scope", "TrustLevel",
           "ReceiptLog", "AgentIdentity"]


class TestModule:
    def test_docstring_version_and_all(self):
        assert quorvex.__doc__ == "Quorvex \u2014 Verifiable identity for the agent era."
        assert quorvex.__version__ == "0.1.0"
        assert isinstance(quorvex.__version__, str)
        assert quorvex.__all__ == CLASSES + ["__version__"]
        assert isinstance(quorvex.__all__, list)

    def test_exposes_no_functions_or_exception_classes(self):
        public = {n for n in dir(quorvex) if not n.startswith("__")}
        assert public == set(CLASSES)
        assert not hasattr(quorvex, "QuorvexError")
        assert not hasattr(quorvex, "PanicException")

    @pytest.mark.parametrize("name", CLASSES)
    def test_classes_are_final_builtins_types_without_dict(self, name):
        cls = getattr(quorvex, name)
        assert cls.__module__ == "builtins"
        assert cls.__name__ == cls.__qualname__ == name
        assert repr(cls) == f"<class 'builtins.{name}'>"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        assert "__dict__" not in dir(cls)
        assert "__weakref__" not in dir(cls)

    def test_instances_have_identity_equality_and_hash(self):
        a = quorvex.TrustLevel("L2")
        b = quorvex.TrustLevel("L2")
        assert a != b and a == a
        assert hash(a) != hash(b) or a is not b
        assert {a: 1}[a] == 1
        with pytest.raises(AttributeError):
            a.extra = 1

    def test_reimport_reuses_the_one_initialisation(self):
        code = (
            "import importlib.util, sys, _imp, quorvex\n"
            "spec = importlib.util.spec_from_file_location('quorvex', quorvex.__file__)\n"
            "del sys.modules['quorvex']\n"
            "again = _imp.create_dynamic(spec)\n"
            "print(again.KeyPair is quorvex.KeyPair)\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == "True"


# A random source that always fails, loaded in front of the C library.
FAILING_GETRANDOM = r"""
#include <errno.h>
#include <sys/types.h>
ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
  (void)buf; (void)len; (void)flags;
  errno = EIO;
  return -1;
}
"""


class TestInternalFaults:
    def test_failing_random_source_raises_panic_exception(self, tmp_path):
        cc = shutil.which("cc") or shutil.which("gcc")
        if cc is None:
            pytest.skip("no C compiler to build the failing random source")
        src = tmp_path / "failing_getrandom.c"
        src.write_text(FAILING_GETRANDOM)
        lib = tmp_path / "failing_getrandom.so"
        subprocess.run([cc, "-shared", "-fPIC", "-o", str(lib), str(src)], check=True)
        code = (
            "import quorvex\n"
            "try:\n"
            "    quorvex.KeyPair.generate()\n"
            "except Exception as e:\n"
            "    print('Exception', type(e).__name__, e)\n"
            "except BaseException as e:\n"
            "    t = type(e)\n"
            "    print(t.__name__, t.__bases__[0].__name__, hasattr(quorvex, t.__name__), e)\n"
            "kp = quorvex.KeyPair.from_secret_bytes(bytes(32))\n"
            "print(kp.verify(b'm', kp.sign(b'm')))\n"
        )
        env = dict(os.environ)
        env["PYTHONHASHSEED"] = "0"  # the interpreter itself must not need the random source
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(lib)]))
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
        assert out.returncode == 0, out.stderr
        first, second = out.stdout.splitlines()
        assert first.startswith("PanicException BaseException False Error: ")
        assert "os error 5" in first
        # The module keeps working after a fault.
        assert second == "True"


class TestArgumentErrors:
    def test_missing_argument(self):
        kp = quorvex.KeyPair.generate()
        with pytest.raises(TypeError) as e:
            kp.sign()
        assert str(e.value) == "KeyPair.sign() missing 1 required positional argument: 'message'"
        with pytest.raises(TypeError) as e:
            kp.verify()
        assert str(e.value) == (
            "KeyPair.verify() missing 2 required positional arguments: 'message' and 'signature'"
        )

    def test_too_many_positional(self):
        kp = quorvex.KeyPair.generate()
        with pytest.raises(TypeError) as e:
            kp.sign(b"a", b"b")
        assert str(e.value) == "KeyPair.sign() takes 1 positional arguments but 2 were given"
        with pytest.raises(TypeError) as e:
            quorvex.KeyPair.generate(1)
        assert str(e.value) == "KeyPair.generate() takes 0 positional arguments but 1 was given"

    def test_keyword_errors(self):
        kp = quorvex.KeyPair.generate()
        assert kp.verify(message=b"m", signature=kp.sign(message=b"m")) is True
        with pytest.raises(TypeError) as e:
            kp.sign(msg=b"x")
        assert str(e.value) == "KeyPair.sign() got an unexpected keyword argument 'msg'"
        with pytest.raises(TypeError) as e:
            kp.sign(b"x", message=b"y")
        assert str(e.value) == "KeyPair.sign() got multiple values for argument 'message'"

    def test_wrong_types(self):
        kp = quorvex.KeyPair.generate()
        with pytest.raises(TypeError) as e:
            kp.sign("text")
        assert str(e.value) == "argument 'message': 'str' object cannot be converted to 'PyBytes'"
        for value in (bytearray(3), memoryview(b"abc"), None, 5):
            with pytest.raises(TypeError, match=r"^argument 'message': '\w+' object cannot be"):
                kp.sign(value)
        with pytest.raises(TypeError) as e:
            quorvex.TrustLevel(2)
        assert str(e.value) == "argument 'level': 'int' object cannot be converted to 'PyString'"

    def test_constructor_errors(self):
        with pytest.raises(TypeError) as e:
            quorvex.TrustLevel()
        assert str(e.value) == "TrustLevel.__new__() missing 1 required positional argument: 'level'"
        with pytest.raises(TypeError) as e:
            quorvex.KeyPair()
        assert str(e.value) == "No constructor defined for KeyPair"

    def test_read_only_properties(self):
        kp = quorvex.KeyPair.generate()
        with pytest.raises(AttributeError):
            kp.public_key_bytes = b"x"
        with pytest.raises(AttributeError):
            del kp.public_key_multibase


class TestBuild:
    def test_module_file_exports_only_its_init_function(self):
        nm = shutil.which("nm")
        if nm is None or not quorvex.__file__.endswith(".so"):
            pytest.skip("no nm, or not an ELF module")
        out = subprocess.run([nm, "-D", "--defined-only", quorvex.__file__],
                             capture_output=True, text=True, check=True).stdout
        symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
        assert symbols == ["PyInit_quorvex"]
        assert ".abi3." in quorvex.__file__
