# The layer rule of src/: each folder is a layer, and a file may include
# only headers of its own layer and of the layers it is allowed to see,
# below it. Only the binding layers (extension with its shared helpers in
# extension/binding, and agent) may include Python.h. Run at configure time
# (include() this file, then call morvik_check_layers) and again at build
# time whenever a source changes (cmake -P this file with MORVIK_SRC and
# MORVIK_STAMP set), so an include that runs back up fails the build either
# way. Must never pass a quoted include it cannot place: an include it
# cannot resolve is reported, not skipped.

# Each layer, lowest first, with the layers it may include. The screen
# model stands on text beside pty; the session layer's agent face keeps one.
set(MORVIK_LAYER_RULES
  "base:base"
  "text:text,base"
  "screen:screen,text,base"
  "pty:pty,base"
  "session:session,screen,pty,text,base"
  "binding:binding,session,pty,text,base"
  "extension:extension,binding,session,pty,text,base"
  "agent:agent,binding,session,screen,pty,text,base")
# The layers that see the interpreter: the shared binding helpers and the
# two modules built on them.
set(MORVIK_PYTHON_LAYERS binding extension agent)

# The layer a path under `src` belongs to, or "" outside src/ or any layer.
function(_morvik_layer_of src path out)
  file(RELATIVE_PATH rel "${src}" "${path}")
  set(layer "")
  # The helpers both modules share sit inside src/extension, the one place
  # besides src/agent that sees the interpreter, as a layer of their own:
  # the agent module may use them and nothing else of the morvik module.
  if(rel MATCHES "^extension/binding/")
    set(layer "binding")
  elseif(NOT rel MATCHES "^\\.\\./" AND rel MATCHES "^([^/]+)/")
    set(layer "${CMAKE_MATCH_1}")
  endif()
  set(${out} "${layer}" PARENT_SCOPE)
endfunction()

function(morvik_check_layers src)
  set(errors "")
  set(known "")
  foreach(rule IN LISTS MORVIK_LAYER_RULES)
    string(REPLACE ":" ";" parts "${rule}")
    list(GET parts 0 layer)
    list(GET parts 1 allowed)
    string(REPLACE "," ";" allowed "${allowed}")
    list(APPEND known "${layer}")
    file(GLOB_RECURSE files "${src}/${layer}/*.h" "${src}/${layer}/*.hpp" "${src}/${layer}/*.cpp")
    foreach(file IN LISTS files)
      get_filename_component(dir "${file}" DIRECTORY)
      file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include")
      foreach(line IN LISTS lines)
        if(line MATCHES "#[ \t]*include[ \t]*[\"<]([^\">]+)[\">]")
          set(name "${CMAKE_MATCH_1}")
        else()
          continue()
        endif()
        if(name STREQUAL "Python.h" AND NOT layer IN_LIST MORVIK_PYTHON_LAYERS)
          list(APPEND errors "${file}: includes Python.h, which only src/extension (its binding helpers included) and src/agent may")
          continue()
        endif()
        # Where the include lands: beside the file, or under src/ (the one
        # include root). Angle includes that land in src/ count as well.
        set(target "")
        if(line MATCHES "\"" AND EXISTS "${dir}/${name}")
          get_filename_component(target "${dir}/${name}" ABSOLUTE)
        elseif(EXISTS "${src}/${name}")
          get_filename_component(target "${src}/${name}" ABSOLUTE)
        elseif(line MATCHES "\"")
          list(APPEND errors "${file}: cannot place #include \"${name}\"")
          continue()
        else()
          continue()  # a system header
        endif()
        _morvik_layer_of("${src}" "${target}" to)
        if(NOT to IN_LIST allowed)
          if(to STREQUAL "")
            set(to "outside the layers")
          endif()
          list(JOIN allowed ", " may)
          list(APPEND errors "${file}: layer '${layer}' includes ${name} (${to}); it may include only ${may}")
        endif()
      endforeach()
    endforeach()
  endforeach()
  # A folder that is no layer would escape every rule.
  file(GLOB entries LIST_DIRECTORIES true "${src}/*")
  foreach(entry IN LISTS entries)
    get_filename_component(name "${entry}" NAME)
    if(IS_DIRECTORY "${entry}" AND NOT name IN_LIST known)
      list(APPEND errors "${entry}: a folder of src/ that is no layer")
    endif()
  endforeach()
  if(errors)
    list(JOIN errors "\n  " text)
    message(FATAL_ERROR "include runs against the layers:\n  ${text}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND MORVIK_SRC)
  morvik_check_layers("${MORVIK_SRC}")
  file(TOUCH "${MORVIK_STAMP}")
endif()
