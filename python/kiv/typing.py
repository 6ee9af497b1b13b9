"""Type aliases for annotations in apps and extensions (the names Flask's typing
module gives), so code that annotates with them imports under kiv."""

from __future__ import annotations

from typing import Any, Awaitable, Callable, Iterable, Mapping, Sequence, Union

ResponseValue = Any  # str, bytes, dict, list, a Response, an iterator of chunks
StatusCode = int
HeaderName = str
HeaderValue = Union[str, "list[str]", "tuple[str, ...]"]
HeadersValue = Union[Mapping[str, HeaderValue], Sequence["tuple[str, HeaderValue]"]]
ResponseReturnValue = Union[ResponseValue, "tuple[ResponseValue, HeadersValue]",
                            "tuple[ResponseValue, int]",
                            "tuple[ResponseValue, int, HeadersValue]"]
ResponseClass = Any
AppOrBlueprintKey = Union[str, None]
RouteCallable = Callable[..., Union[ResponseReturnValue, Awaitable[ResponseReturnValue]]]
AfterRequestCallable = Callable[[Any], Any]
BeforeFirstRequestCallable = Callable[[], None]
BeforeRequestCallable = Callable[[], Union[ResponseReturnValue, None]]
ShellContextProcessorCallable = Callable[[], "dict[str, Any]"]
TeardownCallable = Callable[[Union[BaseException, None]], None]
TemplateContextProcessorCallable = Callable[[], "dict[str, Any]"]
TemplateFilterCallable = Callable[..., Any]
TemplateGlobalCallable = Callable[..., Any]
TemplateTestCallable = Callable[..., bool]
URLDefaultCallable = Callable[[str, "dict[str, Any]"], None]
URLValuePreprocessorCallable = Callable[[Union[str, None], Union["dict[str, Any]", None]], None]
ErrorHandlerCallable = Callable[[Any], ResponseReturnValue]
RouteIterable = Iterable[Any]
