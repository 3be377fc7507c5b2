from setuptools import Extension, setup

setup(
    ext_modules=[
        Extension(
            "tamsel_floor",
            ["tamsel_floor.c"],
            define_macros=[("Py_LIMITED_API", "0x030A0000")],
            py_limited_api=True,
            extra_compile_args=["-O2", "-Wall", "-Wextra", "-Werror"],
        )
    ],
    options={"bdist_wheel": {"py_limited_api": "cp310"}},
)
