"""Builds the zelk_compiler package from this checkout: the project's CMake
compiles the extension module (release, only that target) and setuptools
packages it with the Python files beside it. Install with

    pip install --no-build-isolation python/

(scripts/python-env does that into .venv/ of the checkout)."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = ROOT / "build"


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(zelk_compiler\s+VERSION\s+([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    """Runs CMake instead of compiling sources itself."""

    def configure(self):
        """Configures a CMake tree for the module and returns its folder.

        For the interpreter the release preset names, that is the preset's
        own tree, build/release, so the library compiled for scripts/main is
        not compiled again. Any other interpreter gets a tree of its own."""
        preset_python = "/usr/bin/python3"
        if os.path.exists(preset_python) and os.path.samefile(
            os.path.realpath(sys.executable), os.path.realpath(preset_python)
        ):
            subprocess.run(["cmake", "--preset", "release"], cwd=ROOT, check=True)
            return BUILD / "release"
        build_dir = BUILD / "python-package"
        subprocess.run(
            [
                "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython_EXECUTABLE={sys.executable}",
                "-DZELK_BUILD_PYTHON=ON",
                "-DZELK_BUILD_TESTS=OFF",
                "-DZELK_BUILD_BENCHMARKS=OFF",
                "-DZELK_BUILD_CHECKS=OFF",
                "-DZELK_BUILD_EXAMPLES=OFF",
                "-DZELK_BUILD_TOOLS=OFF",
                "-DZELK_INSTALL=OFF",
            ],
            check=True,
        )
        return build_dir

    def build_extension(self, ext):
        build_dir = self.configure()
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(
            ["cmake", "--build", str(build_dir), "--target", "zelk_compiler_python", "-j", jobs],
            check=True,
        )
        built = build_dir / "python" / "zelk_compiler" / ("_core" + sysconfig.get_config_var("EXT_SUFFIX"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    name="zelk_compiler",
    version=project_version(),
    description="Ahead-of-time compiler for a tile-based processor",
    packages=["zelk_compiler"],
    package_data={"zelk_compiler": ["*.pyi", "py.typed"]},
    ext_modules=[Extension("zelk_compiler._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    python_requires=">=3.9",
    install_requires=["numpy"],
    extras_require={"torch": ["torch"]},
    zip_safe=False,
    # Keep setuptools' own scratch files out of the source tree.
    options={
        "build": {"build_base": str(BUILD / "python-setuptools")},
        "egg_info": {"egg_base": str(BUILD / "python-setuptools")},
    },
)
